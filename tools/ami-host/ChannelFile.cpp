#include "tools/ami-host/ChannelFile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tools/ami-host/LineReader.h"
#include "tools/ami-host/NumberText.h"

namespace amihost {

std::vector<std::string> ChannelFile::fields(const std::string& line)
{
    std::vector<std::string> out;
    const bool delimited = line.find_first_of(",;") != std::string::npos;
    if (!delimited) {
        // Blank separated.
        size_t i = 0;
        while (true) {
            i = line.find_first_not_of(" \t\r", i);
            if (i == std::string::npos)
                break;
            const size_t e = line.find_first_of(" \t\r", i);
            out.push_back(line.substr(i, e == std::string::npos ? std::string::npos : e - i));
            if (e == std::string::npos)
                break;
            i = e;
        }
        return out;
    }
    // Comma or semicolon separated: every separator closes a field, so a
    // missing value ("1,,2") shows up as an empty field. One trailing
    // separator is tolerated, as many spreadsheet exports write it.
    size_t i = 0;
    while (true) {
        const size_t e = line.find_first_of(",;", i);
        std::string f = line.substr(i, e == std::string::npos ? std::string::npos : e - i);
        const size_t a = f.find_first_not_of(" \t\r");
        f = a == std::string::npos ? std::string() : f.substr(a, f.find_last_not_of(" \t\r") - a + 1);
        if (e == std::string::npos) {
            if (!f.empty() || out.empty())
                out.push_back(f);
            break;
        }
        out.push_back(f);
        i = e + 1;
    }
    return out;
}

bool ChannelFile::Read(const std::string& path, ChannelData& data, std::string& error)
{
    LineReader in;
    if (!in.Open(path, "channel file", error))
        return false;
    data = ChannelData();
    std::vector<double> time;
    std::string line;
    size_t width = 0;
    bool headerAllowed = true;
    while (in.Next(line, error)) {
        const size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#' || line[start] == '!')
            continue;
        const std::vector<std::string> f = fields(line);
        if (f.empty())
            continue;
        std::vector<double> values(f.size());
        size_t numbers = 0, numberLike = 0;
        for (size_t i = 0; i < f.size(); ++i) {
            // "nan", "inf" or "1e400" in any line, the first included, is a
            // sample that cannot be used, not a header word.
            if (NumberText::isNonFiniteNumber(f[i])) {
                error = in.where() + "'" + f[i] + "' is not a finite number";
                return false;
            }
            if (NumberText::parseDouble(f[i], values[i]))
                ++numbers;
            if (NumberText::isNumberLike(f[i]))
                ++numberLike;
        }
        if (headerAllowed) {
            headerAllowed = false;
            if (numberLike == 0)
                continue;  // a header line
        }
        if (numbers != f.size()) {
            for (size_t i = 0; i < f.size(); ++i) {
                double v;
                if (!NumberText::parseDouble(f[i], v)) {
                    error = in.where() +
                            (f[i].empty() ? std::string("missing value") : "malformed number '" + f[i] + "'");
                    return false;
                }
            }
        }
        if (width == 0) {
            width = f.size();
            data.HasTime = width >= 2;
            data.Columns.assign(data.HasTime ? width - 1 : 1, std::vector<double>());
        } else if (f.size() != width) {
            error = in.where() + "expected " + std::to_string(width) + " columns, found " +
                    std::to_string(f.size());
            return false;
        }
        if (data.HasTime) {
            time.push_back(values[0]);
            for (size_t c = 1; c < width; ++c)
                data.Columns[c - 1].push_back(values[c]);
        } else {
            data.Columns[0].push_back(values[0]);
        }
    }
    if (!error.empty())
        return false;
    if (width == 0 || data.Columns[0].empty()) {
        error = "channel file '" + path + "' holds no samples";
        return false;
    }
    if (data.HasTime) {
        if (time.size() < 2) {
            error = "channel file '" + path + "' needs at least two time points";
            return false;
        }
        const double step = (time.back() - time.front()) / static_cast<double>(time.size() - 1);
        if (!(step > 0.0)) {
            error = "channel file '" + path + "': time must increase";
            return false;
        }
        // Times written with few digits jitter a little; a real gap or a
        // non-uniform grid does not pass.
        for (size_t i = 1; i < time.size(); ++i) {
            const double d = time[i] - time[i - 1];
            if (!(std::fabs(d - step) <= 1e-3 * step)) {
                error = "channel file '" + path + "': time step not uniform near time " +
                        NumberText::format(time[i]) + " s (step " + NumberText::format(d) + " s, mean " +
                        NumberText::format(step) + " s)";
                return false;
            }
        }
        data.SampleInterval = step;
        data.StartTime = time.front();
    }
    return true;
}

bool ChannelFile::WriteCsv(const std::string& path, const std::vector<std::string>& header,
                           const std::vector<std::vector<double>>& columns, std::string& error)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        error = "cannot write '" + path + "'";
        return false;
    }
    std::string text;
    for (size_t i = 0; i < header.size(); ++i)
        text += (i ? "," : "") + header[i];
    text += "\n";
    size_t rows = 0;
    for (const std::vector<double>& c : columns)
        rows = std::max(rows, c.size());
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    for (size_t r = 0; r < rows && ok; ++r) {
        text.clear();
        for (size_t c = 0; c < columns.size(); ++c) {
            if (c)
                text += ',';
            if (r < columns[c].size())
                text += NumberText::format(columns[c][r]);
        }
        text += '\n';
        ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    }
    ok = (std::fclose(f) == 0) && ok;
    if (!ok)
        error = "error writing '" + path + "'";
    return ok;
}

}  // namespace amihost
