#ifndef VM_PARAMS_PARAMPARSER_H
#define VM_PARAMS_PARAMPARSER_H

#include <cstdint>
#include <sstream>
#include <vector>

namespace Veltramodels20200612 {

// Parser of the IBIS-AMI parameter tree handed to AMI_Init, for example
//   (VELMOR7700X (AutoInit 1) (PreEmphasis 8) (CornerCase 0) (OutputGain 1.0))
// It keeps a working copy of the text and the nesting depth of every
// parenthesis, and answers lookups by branch (root) name and leaf name.
// Lookups write NULs into the working copy to cut the values they read.
class ParamParser {
public:
    explicit ParamParser(const char* parameters);
    ~ParamParser();
    ParamParser(const ParamParser&) = delete;
    ParamParser& operator=(const ParamParser&) = delete;

    char* ParamString;        // working copy, NUL-terminated (null for an empty text)
    int32_t* NestLevel;       // per character: depth at '(', minus depth at ')', else 0
    int32_t FirstParenIndex;  // index of the first '(' in the working copy, -1 if none
    uint64_t ParamLength;     // characters in the working copy
    char* PartName;           // first component of the first dotted query, kept for life
    char* ValueName;          // second component of the current query
    char* SubBranchName;      // third component of the current query, if any
    int32_t PartNameLength;
    int32_t ValueNameLength;
    int32_t SubBranchNameLength;

    // Typed getters: on failure the caller's variable is left as it is and a
    // message is appended (Get_ssValue empties `out` in every case).
    bool Get_iValue(const char* branch, const char* leaf, int& value, std::stringstream& messages);
    bool Get_dValue(const char* branch, const char* leaf, double& value, std::stringstream& messages);
    bool Get_ssValue(const char* branch, const char* leaf, std::stringstream& out,
                     std::stringstream& messages);
    bool Get_cValue(const char* branch, const char* leaf, char** out, std::stringstream& messages);
    bool Get_ssdValue(const char* branch, const char* leaf, std::vector<double>& values,
                      std::stringstream& messages);
    bool Get_ssiValue(const char* branch, const char* leaf, std::vector<int>& values,
                      std::stringstream& messages);

    // Untyped lookups by query "part.value[.subbranch]".
    bool GetValueI(int& value, const char* query);
    bool GetValueD(double& value, const char* query);
    bool GetValueSS(std::stringstream& out, const char* query);

    bool getPartName(const char* query);
    bool ParseValueName(const char* query);
    bool FindParamName(int* position, int level, int nameLength, const char* name);
    bool FindValueIndex(int* index);

private:
    int length() const { return static_cast<int>(ParamLength); }
    void releaseQueryNames();
    bool findScalarValue(const char* query, int* start);
    template <typename T>
    bool getList(const char* branch, const char* leaf, std::vector<T>& values, std::stringstream& messages);
};

}  // namespace Veltramodels20200612

#endif
