#include "tools/ami-host/LineReader.h"

#include <cstring>
#include <filesystem>
#include <system_error>

namespace amihost {

namespace {

std::string mebibytes(std::uintmax_t bytes)
{
    if (bytes % (1u << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

}  // namespace

LineReader::~LineReader()
{
    if (file_ != nullptr)
        std::fclose(file_);
}

bool LineReader::Open(const std::string& path, const std::string& kind, std::string& error)
{
    path_ = path;
    kind_ = kind;
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (ec || !fs::exists(st)) {
        error = "cannot open " + kind + " '" + path + "'";
        return false;
    }
    if (fs::is_directory(st)) {
        error = "cannot open " + kind + " '" + path + "': it is a directory";
        return false;
    }
    // Devices, pipes and sockets may never end (/dev/zero) or block forever.
    if (!fs::is_regular_file(st)) {
        error = "cannot open " + kind + " '" + path + "': not a regular file";
        return false;
    }
    const std::uintmax_t size = fs::file_size(path, ec);
    if (!ec && size > MaxFileBytes) {
        error = kind + " '" + path + "' is larger than the limit of " + mebibytes(MaxFileBytes);
        return false;
    }
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) {
        error = "cannot open " + kind + " '" + path + "'";
        return false;
    }
    buffer_.assign(64u << 10, '\0');
    return true;
}

bool LineReader::fill(std::string& error)
{
    // Keep the unread tail at the front and read behind it.
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == buffer_.size())
        buffer_.resize(buffer_.size() * 2);
    const size_t n = std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, file_);
    if (n == 0) {
        if (std::ferror(file_)) {
            error = "error reading " + kind_ + " '" + path_ + "'";
            return false;
        }
        eof_ = true;
        return true;
    }
    end_ += n;
    bytesRead_ += n;
    // The file may have grown since it was opened.
    if (bytesRead_ > MaxFileBytes) {
        error = kind_ + " '" + path_ + "' is larger than the limit of " + mebibytes(MaxFileBytes);
        return false;
    }
    return true;
}

bool LineReader::Next(std::string& line, std::string& error)
{
    error.clear();
    if (file_ == nullptr)
        return false;
    size_t scanned = begin_;
    for (;;) {
        const void* nl = std::memchr(buffer_.data() + scanned, '\n', end_ - scanned);
        if (nl != nullptr || (eof_ && end_ > begin_)) {
            const size_t stop =
                nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - buffer_.data()) : end_;
            ++lineNumber_;
            if (stop - begin_ > MaxLineBytes) {
                error = where() + "line longer than " + std::to_string(MaxLineBytes) + " bytes";
                return false;
            }
            line.assign(buffer_.data() + begin_, stop - begin_);
            begin_ = nl != nullptr ? stop + 1 : end_;
            return true;
        }
        if (eof_)
            return false;
        if (end_ - begin_ > MaxLineBytes) {
            ++lineNumber_;
            error = where() + "line longer than " + std::to_string(MaxLineBytes) + " bytes";
            return false;
        }
        scanned = end_;
        const size_t offset = scanned - begin_;
        if (!fill(error))
            return false;
        scanned = begin_ + offset;
    }
}

}  // namespace amihost
