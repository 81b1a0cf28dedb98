// The parts of an IBIS-AMI parameter file (.ami) a host needs to call a
// model: the root name and the Model_Specific input parameters with their
// types, formats and defaults, and the parameter string built from them.
//
// The file is an s-expression tree; '|' starts a comment that runs to the end
// of the line (outside quoted strings). Names are case-sensitive. Reserved
// parameters are never sent to the model, nor are Model_Specific parameters
// whose Usage is Info or Out.
#ifndef VM_TOOLS_AMI_HOST_AMIPARAMETERFILE_H
#define VM_TOOLS_AMI_HOST_AMIPARAMETERFILE_H

#include <string>
#include <utility>
#include <vector>

namespace amihost {

struct AmiParameter {
    std::string Name;
    std::vector<std::string> Branch;  // enclosing branches below Model_Specific
    std::string Usage;                // In, InOut, Info, Out
    std::string Type;                 // Integer, Float, UI, Tap, String, Boolean
    std::string Format;               // Value, Range, List, Corner, Increment, Steps (empty if none)
    std::vector<std::string> FormatValues;
    std::vector<std::string> ListTips;  // List_Tip texts, one per List value (may be empty)
    std::string Default;                // text as sent to the model (unquoted for strings)
    bool Sent = false;                  // Usage In or InOut: goes into the parameter string
};

class AmiParameterFile {
public:
    // A parameter file is a few kB; anything beyond this is not one.
    static constexpr unsigned long kMaxFileBytes = 16ul << 20;

    std::string RootName;
    std::vector<AmiParameter> Parameters;  // Model_Specific leaves, in file order

    bool Load(const std::string& path, std::string& error);
    bool Parse(const std::string& text, const std::string& sourceName, std::string& error);

    const AmiParameter* find(const std::string& name) const;
    // Whether text is a valid value of the parameter's type (not its range).
    static bool validValue(const AmiParameter& p, const std::string& text);
    // Whether a valid value lies inside the declared Range/List/Corner/... .
    static bool allowedValue(const AmiParameter& p, const std::string& text);
    // Every value the format allows, for integer Lists and Ranges (empty for
    // other formats or ranges wider than 1000 values).
    static std::vector<std::string> choices(const AmiParameter& p);

    // "(Root (A 1)(B 2))" from the defaults, with NAME=VALUE overrides. An
    // unknown or not-sent NAME, or a value that is not of the parameter's
    // type, is an error. Values outside the declared range are passed on (the
    // model judges them) and noted in `notes`.
    bool BuildParameterString(const std::vector<std::pair<std::string, std::string>>& overrides,
                              std::string& out, std::string& error,
                              std::vector<std::string>* notes = nullptr) const;
};

}  // namespace amihost

#endif
