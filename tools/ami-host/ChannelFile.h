// Reading and writing channel impulse files.
//
// A channel file is plain text, one sample per line. Fields may be separated
// by blanks, tabs, commas or semicolons. Lines starting with '#' or '!' are
// comments, and the first other line may be a header if none of its fields is
// a number. Either
//  * one column: impulse samples in V/s (the sample interval comes from the
//    command line), or
//  * two or more columns: time in seconds (uniformly spaced), then the through
//    channel's impulse in V/s, then optional crosstalk columns in V/s.
// Every other field must be a number; anything else is an error naming the
// file and line. A field that has the form of a number but is not finite
// ("nan", "inf", "1e400") is such an error in every line, the first included:
// it never makes a header. Only regular files are read, with the size and
// line-length limits of LineReader.
#ifndef VM_TOOLS_AMI_HOST_CHANNELFILE_H
#define VM_TOOLS_AMI_HOST_CHANNELFILE_H

#include <string>
#include <vector>

namespace amihost {

struct ChannelData {
    std::vector<std::vector<double>> Columns;  // impulse columns, through channel first
    bool HasTime = false;
    double SampleInterval = 0.0;  // s, from the time column (0 without one)
    double StartTime = 0.0;       // s, first time value
};

class ChannelFile {
public:
    static bool Read(const std::string& path, ChannelData& data, std::string& error);
    // Writes a CSV file: a header line, then one row per index; shorter
    // columns are left empty. Numbers in shortest round-trip form.
    static bool WriteCsv(const std::string& path, const std::vector<std::string>& header,
                         const std::vector<std::vector<double>>& columns, std::string& error);
    // Splits a line into fields (blanks, tabs, commas, semicolons).
    static std::vector<std::string> fields(const std::string& line);
};

}  // namespace amihost

#endif
