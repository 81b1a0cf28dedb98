// Reads arbitrary file contents as a pole/zero file.
//
// The input is written to a file of this process's own and read three ways:
// with ReadPZFile directly (the delimiters Get_PZ_Data uses), through
// Get_PZ_Data with the count the direct read found (handing it an earlier
// array to take over), and through Get_PZ_Data expecting one data set more.
// Every line of the input is also parsed on its own with GetPZfromLine.
// Besides memory errors, undefined behaviour and leaks, the target traps on:
// records that break the documented value rules after a successful read,
// failures without a message, and the two readers of the same file
// disagreeing.

#include "pz/PZ_Data.h"
#include "pz/ReadPZFile.h"

#include <unistd.h>
#include <sys/stat.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

std::string& workPath()
{
    static std::string path;
    return path;
}

void removeWorkFiles()
{
    if (workPath().empty())
        return;
    std::remove((workPath() + "/input.pz").c_str());
    rmdir(workPath().c_str());
}

const std::string& workDirectory()
{
    static const std::string dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string d = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/vm_pzfile_fuzz_" +
                        std::to_string(static_cast<long>(getpid()));
        mkdir(d.c_str(), 0700);
        workPath() = d;
        std::atexit(removeWorkFiles);
        return d;
    }();
    return dir;
}

bool writeFile(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

bool positiveFinite(double v)
{
    return v > 0.0 && std::isfinite(v);
}

// The rules a record read without failure must meet.
void checkRecord(const PZ_Data& r)
{
    for (double p : r.poles)
        check(positiveFinite(p));
    for (double z : r.zeros)
        check(positiveFinite(z));
    for (const std::complex<double>& c : r.cpoles)
        check(positiveFinite(c.real()) && std::isfinite(c.imag()));
    for (const std::complex<double>& c : r.czeros)
        check(positiveFinite(c.real()) && std::isfinite(c.imag()));
}

bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool sameRecord(const PZ_Data& a, const PZ_Data& b)
{
    if (!sameBits(a.gain, b.gain) || a.poles.size() != b.poles.size() || a.zeros.size() != b.zeros.size() ||
        a.cpoles.size() != b.cpoles.size() || a.czeros.size() != b.czeros.size())
        return false;
    for (size_t k = 0; k < a.poles.size(); ++k)
        if (!sameBits(a.poles[k], b.poles[k]))
            return false;
    for (size_t k = 0; k < a.zeros.size(); ++k)
        if (!sameBits(a.zeros[k], b.zeros[k]))
            return false;
    for (size_t k = 0; k < a.cpoles.size(); ++k)
        if (!sameBits(a.cpoles[k].real(), b.cpoles[k].real()) ||
            !sameBits(a.cpoles[k].imag(), b.cpoles[k].imag()))
            return false;
    for (size_t k = 0; k < a.czeros.size(); ++k)
        if (!sameBits(a.czeros[k].real(), b.czeros[k].real()) ||
            !sameBits(a.czeros[k].imag(), b.czeros[k].imag()))
            return false;
    return true;
}

// An earlier array for Get_PZ_Data to take over.
PZ_Data* earlierArray()
{
    PZ_Data* a = new PZ_Data[2];
    a[0].gain = 3.0;
    a[0].poles.assign(3, 1.0);
    a[1].czeros.assign(2, std::complex<double>(1.0, 2.0));
    return a;
}

void parseLinesOneByOne(const std::string& text)
{
    const double scales[] = {1.0, 6.283185307179586, 6283185307.179586, 1e-300, 1e300};
    size_t start = 0;
    int lines = 0;
    while (start < text.size() && lines < 64) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::vector<char> line(text.begin() + static_cast<long>(start),
                               text.begin() + static_cast<long>(end));
        line.push_back('\0');
        PZ_Data record;
        std::stringstream messages;
        const double scale = scales[static_cast<unsigned>(lines) % (sizeof scales / sizeof scales[0])];
        if (ReadPZFile().GetPZfromLine(line.data(), scale, record, messages))
            checkRecord(record);
        else
            check(!messages.str().empty());
        start = end + 1;
        ++lines;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (1u << 16))
        return 0;
    const std::string& dir = workDirectory();
    char name[] = "input.pz";
    const std::string path = dir + "/" + name;
    if (!writeFile(path, data, size))
        return 0;

    // 1. The reader on its own, with the file-level delimiters.
    int count = 0;
    bool directOk = false;
    PZ_Data* direct = nullptr;
    {
        ReadPZFile reader;
        reader.FileName = path.c_str();
        reader.Delimiters << "{} ,\t\r";
        std::stringstream messages;
        check(reader.Setup(nullptr, messages));
        directOk = reader.Initialize(messages);
        count = reader.Count;
        direct = reader.DataSets;
        reader.DataSets = nullptr;
        check(count >= 0);
        check((count == 0) == (direct == nullptr));
        // Every record but a failed last one obeys the value rules.
        const int valid = directOk ? count : count - 1;
        for (int k = 0; k < valid; ++k)
            checkRecord(direct[k]);
        if (!directOk)
            check(!messages.str().empty());
        else
            check(messages.str().empty());
    }

    // 2. Get_PZ_Data expecting that count, taking over an earlier array.
    {
        PZ_Data* earlier = earlierArray();
        PZ_Data* sets = earlier;
        std::stringstream messages;
        const bool ok = Get_PZ_Data(dir.c_str(), name, count, &sets, messages);
        check(ok == directOk);
        if (count == 0) {
            check(sets == earlier);  // nothing read: handed back unchanged
        } else {
            check(sets != nullptr && sets != earlier);
            for (int k = 0; k < count; ++k)
                check(sameRecord(sets[k], direct[k]));
        }
        if (ok)
            check(messages.str().empty());
        delete[] sets;
    }

    // 3. Get_PZ_Data expecting one set more: only the count check can fail.
    if (directOk) {
        PZ_Data* sets = nullptr;
        std::stringstream messages;
        check(!Get_PZ_Data(dir.c_str(), name, count + 1, &sets, messages));
        const std::string expected = "\nERROR:  PZ data file contains " + std::to_string(count) +
                                     " data sets which is not the same as expected " +
                                     std::to_string(count + 1) + ".\n";
        check(messages.str() == expected);
        delete[] sets;
    }
    // And without a place to put the records at all.
    {
        std::stringstream messages;
        check(Get_PZ_Data(dir.c_str(), name, count, nullptr, messages) == directOk);
    }
    delete[] direct;

    // 4. Each line on its own, as a data line.
    parseLinesOneByOne(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
