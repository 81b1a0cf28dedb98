#include "pz/ReadPZFile.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "io/TextFileReader.h"

namespace Veltramodels20200612 {

namespace {

const double kTwoPi = 6.283185307179586;

// A writable, NUL-terminated copy of a line: the field reader cuts the line
// in place.
std::vector<char> writableCopy(const std::string& line)
{
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    return buffer;
}

// Lines of files written on Windows end in a carriage return; it is not part
// of the data.
void dropTrailingCarriageReturns(std::string& line)
{
    while (!line.empty() && line.back() == '\r')
        line.pop_back();
}

bool atEndOfFile(std::fstream& file)
{
    if (!file.is_open() || !file.good())
        return true;
    return file.peek() == std::char_traits<char>::eof();
}

// Values that are not numbers, or not finite, are refused along with the
// non-positive ones: they would otherwise pass every later check and end up
// as NaN coefficients.
bool positiveAndFinite(double v)
{
    return v > 0.0 && std::isfinite(v);
}

}  // namespace

ReadPZFile::ReadPZFile()
    : DataSets(nullptr),
      Count(0),
      FileName(nullptr),
      LogFile(nullptr)
{
    Delimiters << " ,\t";
    CommentChars << "!";
}

ReadPZFile::~ReadPZFile()
{
    if (File.is_open())
        File.close();
}

bool ReadPZFile::Setup(std::ofstream* log, std::stringstream& messages)
{
    if (log != nullptr && log->is_open() && LogFile == nullptr) {
        *log << "Veltramodels20200612"
             << "::"
             << "ReadPZFile"
             << "\n";
        log->flush();
        LogFile = log;
    }
    if (FileName == nullptr) {
        messages << "filename must not be NULL.\n";
        return false;
    }
    if (File.is_open())
        File.close();
    File.clear();
    File.open(FileName, std::ios::in);
    if (!File.is_open()) {
        messages << "Failed to open file = " << FileName << "\n";
        return false;
    }
    return true;
}

bool ReadPZFile::Initialize(std::stringstream& messages)
{
    TextFileReader reader(LogFile);
    const std::string delimiters = Delimiters.str();
    const std::string comments = CommentChars.str();
    reader.setParameters(0, delimiters.c_str(), comments.c_str());

    Count = 0;
    double unitScale = 1.0;
    bool formatFound = false;
    int lineCount = 0;

    while (!atEndOfFile(File)) {
        if (!formatFound) {
            if (!get_formatData(reader, lineCount, formatFound, unitScale, messages))
                return false;
            continue;
        }
        std::string line;
        int length = reader.file_getline(File, line);
        ++lineCount;
        if (length <= 0)
            continue;
        dropTrailingCarriageReturns(line);
        std::vector<char> buffer = writableCopy(line);
        int position = 0;
        if (!reader.actualdatalinestr(buffer.data(), static_cast<int>(line.size()), &position))
            continue;

        // One record longer; the earlier records move over, the old array goes.
        PZ_Data* grown = new PZ_Data[static_cast<size_t>(Count) + 1];
        for (int k = 0; k < Count; ++k)
            grown[k] = std::move(DataSets[k]);
        delete[] DataSets;
        DataSets = grown;
        ++Count;
        if (!GetPZfromLine(buffer.data(), unitScale, DataSets[Count - 1], messages))
            return false;
    }
    return true;
}

bool ReadPZFile::get_formatData(TextFileReader& reader, int& lineCount, bool& formatFound, double& unitScale,
                                std::stringstream& messages)
{
    std::string line;
    int length = reader.file_getline(File, line);
    ++lineCount;
    if (length <= 0)
        return true;

    std::vector<char> buffer = writableCopy(line);
    char* text = buffer.data();
    length = static_cast<int>(line.size());
    int position = 0;
    if (reader.actualdataline(text, length, &position)) {
        messages << "Missing PZFile format line before data.\n";
        return false;
    }
    if (position >= length || text[position] != '#')
        return true;

    int start = position;
    int end = 0;
    datatype_t fields[2];
    if (!reader.get_linedata(text, &start, &end, length, "ss", fields)) {
        messages << "Invalid PZFile format line .\n";
        return false;
    }
    std::string unit(fields[1].s);
    for (char& c : unit)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (unit == "hz")
        unitScale = kTwoPi;
    else if (unit == "khz")
        unitScale = kTwoPi * 1e3;
    else if (unit == "mhz")
        unitScale = kTwoPi * 1e6;
    else if (unit == "ghz")
        unitScale = kTwoPi * 1e9;
    // Any other unit keeps the scale: the values are then taken as they are.
    formatFound = true;
    return true;
}

bool ReadPZFile::GetPZfromLine(char* line, double unitScale, PZ_Data& dataSet, std::stringstream& messages)
{
    if (line == nullptr) {
        messages << "Failed to get valid data from line.\n";
        return false;
    }
    TextFileReader reader;
    reader.setParameters(0, " ,\t", "!");
    const int length = static_cast<int>(std::strlen(line));
    int start = 0;
    int end = 0;
    datatype_t slots[5];
    if (!reader.get_linedata(line, &start, &end, length, "sssss", slots)) {
        messages << "Failed to get valid data from line.\n";
        return false;
    }

    std::string fields[5];
    for (int k = 0; k < 5; ++k) {
        std::string f(slots[k].s);
        if (!f.empty() && f[0] == '[' && (f.size() < 2 || f.back() != ']')) {
            messages << "For line, a numeric array is missing required leading and tailing bracket "
                        "marks [ and ].\n";
            return false;
        }
        if (!f.empty() && (f[0] == '[' || f[0] == '"')) {
            f = f.size() >= 2 ? f.substr(1, f.size() - 2) : std::string();
            size_t first = f.find_first_not_of(" \t");
            f = (first == std::string::npos) ? std::string() : f.substr(first);
        }
        fields[k] = f;
    }

    dataSet.gain = std::strtod(fields[0].c_str(), nullptr);

    if (!reader.getLineValues(fields[1].c_str(), dataSet.poles, "poles", messages))
        return false;
    for (double& p : dataSet.poles) {
        p *= unitScale;
        if (!positiveAndFinite(p)) {
            messages << "PZFile poles must be > 0.\n";
            return false;
        }
    }
    if (!reader.getLineValues(fields[2].c_str(), dataSet.zeros, "zeros", messages))
        return false;
    for (double& z : dataSet.zeros) {
        z *= unitScale;
        if (!positiveAndFinite(z)) {
            messages << "PZFile zeros must be > 0.\n";
            return false;
        }
    }
    if (!reader.getLineValues(fields[3].c_str(), dataSet.cpoles, "cpoles", messages))
        return false;
    for (std::complex<double>& c : dataSet.cpoles) {
        c = std::complex<double>(c.real() * unitScale, c.imag() * unitScale);
        if (!positiveAndFinite(c.real()) || !std::isfinite(c.imag())) {
            messages << "PZFile complex poles must have real part > 0.\n";
            return false;
        }
    }
    if (!reader.getLineValues(fields[4].c_str(), dataSet.czeros, "czeros", messages))
        return false;
    for (std::complex<double>& c : dataSet.czeros) {
        c = std::complex<double>(c.real() * unitScale, c.imag() * unitScale);
        if (!positiveAndFinite(c.real()) || !std::isfinite(c.imag())) {
            messages << "PZFile complex zeros must have real part > 0.\n";
            return false;
        }
    }
    return true;
}

bool Get_PZ_Data(const char* directory, char* fileName, int expectedCount, PZ_Data** dataSets,
                 std::stringstream& messages)
{
    // A missing or empty directory means the name is used as it stands,
    // rather than being turned into a path from the file-system root.
    std::string path;
    if (fileName != nullptr) {
        if (directory != nullptr && directory[0] != '\0')
            path = std::string(directory) + "/";
        path += fileName;
    }

    ReadPZFile reader;
    reader.FileName = fileName != nullptr ? path.c_str() : nullptr;
    reader.Delimiters << "{} ,\t\r";
    reader.DataSets = dataSets != nullptr ? *dataSets : nullptr;

    bool ok = reader.Setup(nullptr, messages);
    if (ok)
        ok = reader.Initialize(messages);
    if (dataSets != nullptr) {
        *dataSets = reader.DataSets;
    } else {
        delete[] reader.DataSets;
    }
    reader.DataSets = nullptr;
    if (!ok)
        return false;

    if (reader.Count != expectedCount) {
        messages << "\nERROR:  PZ data file contains " << reader.Count
                 << " data sets which is not the same as expected " << expectedCount << ".\n";
        return false;
    }
    return true;
}

}  // namespace Veltramodels20200612
