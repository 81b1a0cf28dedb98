// Line-by-line reading of a text input file with hard limits, for the files
// a user points the host at (channel impulse files, Touchstone files).
//
// A path may name something that never ends (/dev/zero, a pipe, a terminal)
// or a file far larger than any channel: the reader accepts regular files
// only, stops at MaxFileBytes, and refuses a line longer than MaxLineBytes,
// each with one clear line, so that memory stays bounded whatever the input.
#ifndef VM_TOOLS_AMI_HOST_LINEREADER_H
#define VM_TOOLS_AMI_HOST_LINEREADER_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace amihost {

class LineReader {
public:
    // Long channels at fine sampling reach 10^6 rows of a few columns, tens of
    // MB of text; 256 MiB leaves ample room. A line of 64 crosstalk columns
    // is about 2 kB; 64 KiB is never reached by a genuine file.
    static constexpr std::uintmax_t kDefaultMaxFileBytes = 256u << 20;
    static constexpr size_t kDefaultMaxLineBytes = 64u << 10;

    std::uintmax_t MaxFileBytes = kDefaultMaxFileBytes;
    size_t MaxLineBytes = kDefaultMaxLineBytes;

    LineReader() = default;
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader();

    // kind names the file in messages, e.g. "channel file".
    bool Open(const std::string& path, const std::string& kind, std::string& error);
    // The next line, without its line feed (a carriage return before it is
    // kept; callers treat it as a blank). False at the end of the file, and
    // on a fault, which sets error (empty at a clean end).
    bool Next(std::string& line, std::string& error);
    // 1-based number of the line last returned.
    long lineNumber() const { return lineNumber_; }
    const std::string& path() const { return path_; }
    // "path:line: " for messages about the line last returned.
    std::string where() const { return path_ + ":" + std::to_string(lineNumber_) + ": "; }

private:
    std::FILE* file_ = nullptr;
    std::string path_;
    std::string kind_;
    std::vector<char> buffer_;
    size_t begin_ = 0;  // unread part of buffer_ is [begin_, end_)
    size_t end_ = 0;
    std::uintmax_t bytesRead_ = 0;
    long lineNumber_ = 0;
    bool eof_ = false;

    bool fill(std::string& error);
};

}  // namespace amihost

#endif
