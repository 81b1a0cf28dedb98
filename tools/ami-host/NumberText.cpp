#include "tools/ami-host/NumberText.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace amihost {

namespace {

// std::from_chars rejects a leading '+', which people write in files.
const char* skipPlus(const std::string& text)
{
    const char* p = text.c_str();
    if (text.size() > 1 && p[0] == '+' && p[1] != '-' && p[1] != '+')
        ++p;
    return p;
}

}  // namespace

bool NumberText::parseDouble(const std::string& text, double& value)
{
    if (text.empty())
        return false;
    const char* first = skipPlus(text);
    const char* last = text.c_str() + text.size();
    double v = 0.0;
    // std::from_chars is exact and locale independent, so a file reads to the
    // same doubles under every C library.
    const std::from_chars_result r = std::from_chars(first, last, v, std::chars_format::general);
    if (r.ec != std::errc() || r.ptr != last || !std::isfinite(v))
        return false;
    value = v;
    return true;
}

bool NumberText::isNumberLike(const std::string& text)
{
    if (text.empty())
        return false;
    const char* first = skipPlus(text);
    const char* last = text.c_str() + text.size();
    double v = 0.0;
    const std::from_chars_result r = std::from_chars(first, last, v, std::chars_format::general);
    return r.ptr == last && (r.ec == std::errc() || r.ec == std::errc::result_out_of_range);
}

bool NumberText::isNonFiniteNumber(const std::string& text)
{
    if (text.empty())
        return false;
    const char* first = skipPlus(text);
    const char* last = text.c_str() + text.size();
    double v = 0.0;
    const std::from_chars_result r = std::from_chars(first, last, v, std::chars_format::general);
    if (r.ptr != last)
        return false;
    if (r.ec == std::errc())
        return !std::isfinite(v);
    if (r.ec != std::errc::result_out_of_range)
        return false;
    // Out of range is either overflow (not finite) or underflow (a tiny
    // number, malformed for this reader but not infinite). strtod rounds
    // overflow to an infinity; the text is a plain decimal here, which reads
    // the same in the "C" locale the tool runs in.
    return std::isinf(std::strtod(std::string(first, last).c_str(), nullptr));
}

bool NumberText::parseLong(const std::string& text, long& value)
{
    if (text.empty())
        return false;
    const char* first = skipPlus(text);
    const char* last = text.c_str() + text.size();
    long v = 0;
    const std::from_chars_result r = std::from_chars(first, last, v, 10);
    if (r.ec != std::errc() || r.ptr != last)
        return false;
    value = v;
    return true;
}

std::string NumberText::format(double value)
{
    char buffer[64];
    const std::to_chars_result r = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (r.ec != std::errc())
        return "nan";
    return std::string(buffer, r.ptr);
}

std::string NumberText::fixed(double value, int digits)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", digits, value);
    return buffer;
}

}  // namespace amihost
