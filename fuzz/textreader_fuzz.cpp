// Runs the TextFileReader line functions on arbitrary lines.
//
// Input layout: three control bytes, then the line (which may hold NULs).
//   byte 0: delimiter set, byte 1: comment set, byte 2: extra type letters.
// Every call gets a fresh copy of the line in a heap buffer of exactly
// length + 1 bytes, so that AddressSanitizer reports any access outside it.

#include "io/TextFileReader.h"

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

using namespace Veltramodels20200612;

namespace {

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

struct Buffer {
    explicit Buffer(const std::string& line)
        : length(static_cast<int>(line.size())),
          data(new char[line.size() + 1])
    {
        std::memcpy(data, line.data(), line.size());
        data[line.size()] = '\0';
    }
    ~Buffer() { delete[] data; }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    int length;
    char* data;
};

void readFields(TextFileReader& reader, const std::string& line, const std::string& types)
{
    Buffer buf(line);
    std::vector<datatype_t> slots(types.size() + 1);
    int start = 0;
    int end = -3;
    bool ok = reader.get_linedata(buf.data, &start, &end, buf.length, types.c_str(), slots.data());
    if (!types.empty() && end != -3) {
        check(end >= -1 && end <= (buf.length > 0 ? buf.length - 1 : 0));
    }
    if (ok) {
        for (size_t k = 0; k < types.size(); ++k) {
            if (types[k] != 's')
                continue;
            const char* s = slots[k].s;
            check(s >= buf.data && s <= buf.data + buf.length);
            check(s + std::strlen(s) <= buf.data + buf.length);
        }
    }
}

size_t countCommas(const char* text)
{
    size_t n = 0;
    for (; *text; ++text)
        if (*text == ',')
            ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3 || size > 1 << 16)
        return 0;
    static const char* const kDelimiters[] = {",", " ,\t", " \t", " ,\t{}\r", "", "!"};
    static const char* const kComments[] = {"", "!", "!#", "\"", ","};
    TextFileReader reader;
    reader.setParameters(0, kDelimiters[data[0] % 6], kComments[data[1] % 5]);
    const std::string line(reinterpret_cast<const char*>(data) + 3, size - 3);

    std::string extraTypes;
    static const char kLetters[] = "dics?";
    for (int k = 0; k < 1 + data[2] % 8; ++k)
        extraTypes += kLetters[(data[2] >> k) % 5];
    for (const char* types : {"d", "ddddd", "iiii", "sssss", "c", "sdic", "dq", ""})
        readFields(reader, line, types);
    readFields(reader, line, extraTypes);
    readFields(reader, line, std::string(64, 'd'));

    {
        Buffer a(line);
        int pos = -1;
        reader.actualdataline(a.data, a.length, &pos);
        check(pos >= 0 && pos <= a.length);
        reader.actualdatalinestr(a.data, a.length, &pos);
        check(pos >= 0 && pos <= a.length);
        reader.skip_leadingDelimiters(a.data, a.length, &pos);
        check(pos >= 0 && pos <= a.length);
    }
    {
        std::vector<std::string> keys{"=", "gain", line.substr(0, 1), line.substr(0, 3), line};
        for (const std::string& key : keys) {
            Buffer b(line);
            double value = 0.0;
            reader.indexLine(b.data, b.length, key.c_str(), &value);
        }
    }
    {
        // The list readers take a C string: the line up to its first NUL.
        const std::string text(line.c_str());
        const size_t items = 1 + countCommas(text.c_str());
        std::stringstream msg;
        std::vector<double> d{-1.0};
        if (reader.getLineValues(text.c_str(), d, "list", msg))
            check(text.empty() ? d.empty() : d.size() == items);
        else
            check(d.size() == 1 && d[0] == -1.0);
        std::vector<int> i{-1};
        if (reader.getLineValues(text.c_str(), i, "list", msg))
            check(text.empty() ? i.empty() : i.size() == items);
        else
            check(i.size() == 1 && i[0] == -1);
        std::vector<std::complex<double>> c;
        if (reader.getLineValues(text.c_str(), c, "clist", msg))
            check(c.empty() || c.size() == items);
        else
            check(c.size() == items);

        TextFileReader lists;
        lists.setParameters(0, ",", "!");
        lists.getLineValues(text.c_str(), d, "list", msg);
        lists.getLineValues(text.c_str(), i, "list", msg);
    }
    return 0;
}
