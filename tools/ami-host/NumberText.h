// Strict conversions between numbers and text for the host tool. Every number
// the tool reads from a user (command line, channel files, .ami files) goes
// through here, so that malformed text is reported instead of being taken as
// zero, and every number it writes reads back to the same double on every
// platform (shortest round-trip form).
#ifndef VM_TOOLS_AMI_HOST_NUMBERTEXT_H
#define VM_TOOLS_AMI_HOST_NUMBERTEXT_H

#include <string>

namespace amihost {

class NumberText {
public:
    // The whole text must be one finite decimal number (a leading '+' is
    // allowed). Returns false and leaves value alone otherwise.
    static bool parseDouble(const std::string& text, double& value);
    // Whether the whole text has the form of a number whose value is not a
    // finite double: "nan", "inf", "-Infinity", "1e400". Such fields are
    // neither numbers nor header words.
    static bool isNonFiniteNumber(const std::string& text);
    // Whether the whole text has the form of a decimal number, whatever its
    // value (finite, NaN, infinite, or beyond the range of a double).
    static bool isNumberLike(const std::string& text);
    // The whole text must be a decimal integer that fits a long.
    static bool parseLong(const std::string& text, long& value);
    // Shortest text that reads back to exactly the same double.
    static std::string format(double value);
    // Fixed-point text with the given digits after the point, for reports.
    static std::string fixed(double value, int digits);
};

}  // namespace amihost

#endif
