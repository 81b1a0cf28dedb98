#include "tools/ami-host/TouchstoneFile.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <sstream>

#include "tools/ami-host/LineReader.h"
#include "tools/ami-host/NumberText.h"

namespace amihost {

namespace {

const double kPi = 3.14159265358979323846;

std::string upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string& s)
{
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos)
        return std::string();
    return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

std::vector<std::string> words(const std::string& s)
{
    std::vector<std::string> out;
    std::istringstream in(s);
    std::string w;
    while (in >> w)
        out.push_back(w);
    return out;
}

// Hands out the file's lines with their numbers; false at the end, and on a
// read fault (then error is set).
typedef std::function<bool(std::string& line, long& number, std::string& error)> LineSource;

bool parseLines(const LineSource& next, const std::string& name, int extensionPorts, TouchstoneNetwork& out,
                std::string& error)
{
    TouchstoneNetwork net;
    net.Version = "1.x";
    net.Format = "MA";
    net.FrequencyUnit = "GHz";
    double unit = 1e9;
    double optionReference = 50.0;
    bool optionSeen = false;
    bool version2 = false;
    bool networkData = false;  // inside [Network Data] (version 2)
    bool dataDone = false;     // after [Noise Data] or [End]
    bool ended = false;
    bool inInformation = false;
    bool inReference = false;
    bool referenceSeen = false;
    bool twoPortOrder12 = false, twoPortOrderSeen = false;
    std::string matrixFormat = "FULL";
    long declaredFrequencies = -1;
    int ports = extensionPorts;
    std::vector<double> reference;

    std::string line;
    long lineNo = 0;
    auto fail = [&](long at, const std::string& text) {
        error = name + ":" + std::to_string(at) + ": " + text;
        return false;
    };
    auto number = [&](const std::string& w, double& v) {
        if (NumberText::isNonFiniteNumber(w))
            return fail(lineNo, "'" + w + "' is not a finite number");
        if (!NumberText::parseDouble(w, v))
            return fail(lineNo, "malformed number '" + w + "'");
        return true;
    };

    // The record of the frequency being read.
    bool open = false;
    long recordLine = 0;
    double recordFrequency = 0.0;
    std::vector<double> values;
    auto valuesPerFrequency = [&]() -> size_t {
        const size_t n = static_cast<size_t>(ports);
        return matrixFormat == "FULL" ? 2 * n * n : n * (n + 1);
    };
    auto closeRecord = [&]() {
        open = false;
        if (ports == 0) {
            // A .ts file in version 1.x syntax: the first frequency tells.
            const double n = std::sqrt(static_cast<double>(values.size()) / 2.0);
            const long p = std::lround(n);
            if (p < 1 || p > TouchstoneFile::kMaxPorts || static_cast<size_t>(2 * p * p) != values.size())
                return fail(recordLine, std::to_string(values.size()) +
                                            " values at the first frequency: no port count has that many");
            ports = static_cast<int>(p);
        }
        const size_t need = valuesPerFrequency();
        if (values.size() != need)
            return fail(recordLine, std::to_string(values.size()) + " values at frequency " +
                                        NumberText::format(recordFrequency) + " " + net.FrequencyUnit +
                                        " where " + std::to_string(ports) + " ports need " +
                                        std::to_string(need) + " (wrong port count or missing values)");
        const double f = recordFrequency * unit;
        if (!(f >= 0.0) || !std::isfinite(f))
            return fail(recordLine, "negative frequency " + NumberText::format(recordFrequency) + " " +
                                        net.FrequencyUnit);
        if (!net.Frequencies.empty() && !(f > net.Frequencies.back()))
            return fail(recordLine, "frequency " + NumberText::format(recordFrequency) + " " +
                                        net.FrequencyUnit + " does not increase (previous " +
                                        NumberText::format(net.Frequencies.back() / unit) + " " +
                                        net.FrequencyUnit + ")");
        if (declaredFrequencies >= 0 && static_cast<long>(net.Frequencies.size()) >= declaredFrequencies)
            return fail(recordLine, "more frequencies than [Number of Frequencies] " +
                                        std::to_string(declaredFrequencies));
        const int n = ports;
        std::vector<std::complex<double>> m(static_cast<size_t>(n * n));
        std::vector<std::complex<double>> pairs(values.size() / 2);
        for (size_t i = 0; i < pairs.size(); ++i) {
            const double a = values[2 * i], b = values[2 * i + 1];
            if (net.Format == "RI") {
                pairs[i] = std::complex<double>(a, b);
            } else {
                const double mag = net.Format == "DB" ? std::pow(10.0, a / 20.0) : a;
                pairs[i] = std::polar(mag, b * kPi / 180.0);
            }
            if (!std::isfinite(pairs[i].real()) || !std::isfinite(pairs[i].imag()))
                return fail(recordLine, "value " + std::to_string(i + 1) + " at frequency " +
                                            NumberText::format(recordFrequency) + " " + net.FrequencyUnit +
                                            " is not finite");
        }
        if (n == 2 && matrixFormat == "FULL") {
            // Version 1.x and 21_12 list S11 S21 S12 S22.
            const bool order12 = version2 && twoPortOrder12;
            m[0] = pairs[0];
            m[order12 ? 1 : 2] = pairs[1];
            m[order12 ? 2 : 1] = pairs[2];
            m[3] = pairs[3];
        } else if (matrixFormat == "FULL") {
            m = pairs;
        } else {
            size_t k = 0;
            for (int i = 0; i < n; ++i)
                for (int j = matrixFormat == "LOWER" ? 0 : i; j <= (matrixFormat == "LOWER" ? i : n - 1);
                     ++j) {
                    m[static_cast<size_t>(i * n + j)] = pairs[k];
                    m[static_cast<size_t>(j * n + i)] = pairs[k];
                    ++k;
                }
        }
        net.Frequencies.push_back(f);
        net.S.push_back(std::move(m));
        values.clear();
        return true;
    };

    auto parseOptions = [&](const std::string& text) {
        const std::vector<std::string> w = words(text.substr(1));
        for (size_t i = 0; i < w.size(); ++i) {
            const std::string u = upper(w[i]);
            if (u == "HZ" || u == "KHZ" || u == "MHZ" || u == "GHZ") {
                unit = u == "HZ" ? 1.0 : u == "KHZ" ? 1e3 : u == "MHZ" ? 1e6 : 1e9;
                net.FrequencyUnit = u == "HZ" ? "Hz" : u == "KHZ" ? "kHz" : u == "MHZ" ? "MHz" : "GHz";
            } else if (u == "S") {
            } else if (u == "Y" || u == "Z" || u == "H" || u == "G") {
                return fail(lineNo, "only S-parameters are read; the option line gives " + u + "-parameters");
            } else if (u == "MA" || u == "DB" || u == "RI") {
                net.Format = u;
            } else if (u == "R") {
                if (i + 1 >= w.size())
                    return fail(lineNo, "option R needs a reference impedance");
                if (!number(w[++i], optionReference))
                    return false;
                if (!(optionReference > 0.0))
                    return fail(lineNo, "reference impedance must be > 0, got " + w[i]);
            } else {
                return fail(lineNo, "unknown option '" + w[i] +
                                        "' (the option line takes Hz, kHz, MHz, GHz, S, MA, DB, RI and R n)");
            }
        }
        optionSeen = true;
        return true;
    };

    auto integerAfter = [&](const std::string& keyword, const std::string& rest, long lo, long hi, long& v) {
        const std::vector<std::string> w = words(rest);
        if (w.size() != 1 || !NumberText::parseLong(w[0], v) || v < lo || v > hi)
            return fail(lineNo, keyword + " needs one whole number from " + std::to_string(lo) + " to " +
                                    std::to_string(hi) + ", got '" + trim(rest) + "'");
        return true;
    };

    while (next(line, lineNo, error)) {
        const size_t bang = line.find('!');
        const std::string text = trim(bang == std::string::npos ? line : line.substr(0, bang));
        if (text.empty())
            continue;
        if (inInformation) {
            if (upper(text).rfind("[END INFORMATION]", 0) == 0)
                inInformation = false;
            continue;
        }
        if (ended)
            return fail(lineNo, "text after [End]");
        if (text[0] == '[') {
            const size_t close = text.find(']');
            if (close == std::string::npos)
                return fail(lineNo, "keyword without its closing ']'");
            const std::string keyword = text.substr(0, close + 1);
            const std::string key = upper(keyword);
            const std::string rest = text.substr(close + 1);
            inReference = false;
            if (key != "[VERSION]" && !version2)
                return fail(lineNo,
                            "keyword " + keyword + " before [Version] (a Touchstone 1.x file has none)");
            if (key == "[VERSION]") {
                const std::string v = trim(rest);
                if (version2 || optionSeen || !net.Frequencies.empty() || open)
                    return fail(lineNo, "[Version] must come first");
                if (v != "2.0" && v != "2.1")
                    return fail(lineNo, "Touchstone version '" + v + "' is not read (2.0 and 2.1 are)");
                version2 = true;
                net.Version = v;
                ports = 0;
            } else if (dataDone && key != "[END]") {
                continue;  // noise data and what follows it
            } else if (networkData &&
                       (key == "[NUMBER OF PORTS]" || key == "[TWO-PORT DATA ORDER]" ||
                        key == "[NUMBER OF FREQUENCIES]" || key == "[NUMBER OF NOISE FREQUENCIES]" ||
                        key == "[REFERENCE]" || key == "[MATRIX FORMAT]" || key == "[NETWORK DATA]")) {
                // The header was checked as a whole at [Network Data]; a
                // keyword now would change the meaning of the records
                // already read (the port count, the impedances).
                return fail(lineNo, keyword + " inside [Network Data]");
            } else if (key == "[NUMBER OF PORTS]") {
                long n = 0;
                if (!integerAfter(keyword, rest, 1, TouchstoneFile::kMaxPorts, n))
                    return false;
                if (extensionPorts > 0 && n != extensionPorts)
                    return fail(lineNo, "[Number of Ports] " + std::to_string(n) +
                                            " but the file name says " + std::to_string(extensionPorts) +
                                            " ports");
                ports = static_cast<int>(n);
            } else if (key == "[TWO-PORT DATA ORDER]") {
                const std::string v = trim(rest);
                if (v != "12_21" && v != "21_12")
                    return fail(lineNo, "[Two-Port Data Order] must be 12_21 or 21_12, got '" + v + "'");
                twoPortOrder12 = v == "12_21";
                twoPortOrderSeen = true;
            } else if (key == "[NUMBER OF FREQUENCIES]") {
                if (!integerAfter(keyword, rest, 1, 100000000, declaredFrequencies))
                    return false;
            } else if (key == "[NUMBER OF NOISE FREQUENCIES]") {
                long ignored = 0;
                if (!integerAfter(keyword, rest, 0, 100000000, ignored))
                    return false;
            } else if (key == "[REFERENCE]") {
                // Its impedances may run over several lines; a second
                // keyword would add to them.
                if (referenceSeen)
                    return fail(lineNo, "a second [Reference]");
                referenceSeen = true;
                inReference = true;
                for (const std::string& w : words(rest)) {
                    double z = 0.0;
                    if (!number(w, z))
                        return false;
                    reference.push_back(z);
                }
            } else if (key == "[MATRIX FORMAT]") {
                const std::string v = upper(trim(rest));
                if (v != "FULL" && v != "LOWER" && v != "UPPER")
                    return fail(lineNo,
                                "[Matrix Format] must be Full, Lower or Upper, got '" + trim(rest) + "'");
                matrixFormat = v;
            } else if (key == "[MIXED-MODE ORDER]") {
                return fail(lineNo, "mixed-mode data ([Mixed-Mode Order]) is not read; give single-ended "
                                    "S-parameters");
            } else if (key == "[BEGIN INFORMATION]") {
                inInformation = true;
            } else if (key == "[NETWORK DATA]") {
                if (!optionSeen)
                    return fail(lineNo, "[Network Data] before the option line");
                if (ports == 0)
                    return fail(lineNo, "[Network Data] before [Number of Ports]");
                if (declaredFrequencies < 0)
                    return fail(lineNo, "[Network Data] before [Number of Frequencies]");
                if (ports == 2 && !twoPortOrderSeen)
                    return fail(lineNo, "a 2-port file needs [Two-Port Data Order] before [Network Data]");
                if (!reference.empty() && static_cast<int>(reference.size()) != ports)
                    return fail(lineNo, "[Reference] gives " + std::to_string(reference.size()) +
                                            " impedances for " + std::to_string(ports) + " ports");
                networkData = true;
            } else if (key == "[NOISE DATA]") {
                if (open && !closeRecord())
                    return false;
                networkData = false;
                dataDone = true;
            } else if (key == "[END]") {
                if (open && !closeRecord())
                    return false;
                networkData = false;
                dataDone = true;
                ended = true;
            } else {
                return fail(lineNo, "unknown keyword " + keyword);
            }
            continue;
        }
        if (text[0] == '#') {
            // Only the first option line counts in version 1.x; version 2
            // allows one.
            if (optionSeen) {
                if (version2)
                    return fail(lineNo, "a second option line");
                continue;
            }
            if (!parseOptions(text))
                return false;
            continue;
        }
        if (inReference && !networkData) {
            for (const std::string& w : words(text)) {
                double z = 0.0;
                if (!number(w, z))
                    return false;
                reference.push_back(z);
            }
            continue;
        }
        if (dataDone)
            continue;
        if (version2 && !networkData)
            return fail(lineNo, "data outside [Network Data]");
        if (!optionSeen) {
            // Version 1.x data without an option line: the defaults hold.
            optionSeen = true;
        }
        const std::vector<std::string> w = words(text);
        std::vector<double> v(w.size());
        for (size_t i = 0; i < w.size(); ++i)
            if (!number(w[i], v[i]))
                return false;
        // A version 1.x 2-port file may end with noise parameters: lines of
        // five values whose frequencies start again at or below the last
        // network frequency. They are not part of the network.
        if (!version2 && ports == 2 && !open && w.size() == 5 && !net.Frequencies.empty() &&
            v[0] * unit <= net.Frequencies.back()) {
            dataDone = true;
            continue;
        }
        if (w.size() % 2 == 1) {
            if (open && !closeRecord())
                return false;
            open = true;
            recordLine = lineNo;
            recordFrequency = v[0];
            values.assign(v.begin() + 1, v.end());
        } else {
            if (!open)
                return fail(lineNo,
                            std::to_string(w.size()) +
                                " numbers where a frequency line needs an odd count (a value missing, "
                                "or a wrong port count)");
            values.insert(values.end(), v.begin(), v.end());
        }
        if (ports > 0 && values.size() > valuesPerFrequency())
            return fail(lineNo, "more than " + std::to_string(valuesPerFrequency()) +
                                    " values at frequency " + NumberText::format(recordFrequency) + " " +
                                    net.FrequencyUnit + " (" + std::to_string(ports) + " ports)");
        // Version 2 data may hold a whole frequency on one line; close it at
        // once so that a count mismatch names the right line.
        if (ports > 0 && values.size() == valuesPerFrequency() && !closeRecord())
            return false;
    }
    if (!error.empty())
        return false;
    if (inInformation)
        return fail(lineNo, "[Begin Information] without [End Information]");
    if (open && !closeRecord())
        return false;
    if (version2 && !ended)
        return fail(lineNo, "missing [End] (the file may be cut short)");
    if (net.Frequencies.empty())
        return fail(lineNo, "no network data");
    if (declaredFrequencies >= 0 && static_cast<long>(net.Frequencies.size()) != declaredFrequencies)
        return fail(lineNo, "[Number of Frequencies] is " + std::to_string(declaredFrequencies) +
                                " but the data holds " + std::to_string(net.Frequencies.size()));
    net.Ports = ports;
    net.Reference =
        reference.empty() ? std::vector<double>(static_cast<size_t>(ports), optionReference) : reference;
    for (double z : net.Reference)
        if (!(z > 0.0))
            return fail(lineNo, "reference impedances must be > 0");
    out = std::move(net);
    return true;
}

}  // namespace

int TouchstoneFile::portsFromExtension(const std::string& path)
{
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return 0;
    const std::string ext = upper(path.substr(dot + 1));
    if (ext.size() < 3 || ext.front() != 'S' || ext.back() != 'P')
        return 0;
    long n = 0;
    const std::string digits = ext.substr(1, ext.size() - 2);
    if (digits.find_first_not_of("0123456789") != std::string::npos || !NumberText::parseLong(digits, n) ||
        n < 1 || n > 1000)
        return 0;
    return static_cast<int>(n);
}

bool TouchstoneFile::isTouchstonePath(const std::string& path)
{
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of("/\\");
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
        upper(path.substr(dot + 1)) == "TS")
        return true;
    return portsFromExtension(path) > 0;
}

bool TouchstoneFile::Read(const std::string& path, TouchstoneNetwork& net, std::string& error)
{
    const int ports = portsFromExtension(path);
    if (ports > kMaxPorts) {
        error = "Touchstone file '" + path + "': " + std::to_string(ports) + " ports are more than the " +
                std::to_string(kMaxPorts) + " this host reads";
        return false;
    }
    LineReader in;
    if (!in.Open(path, "Touchstone file", error))
        return false;
    const LineSource next = [&](std::string& line, long& number, std::string& e) {
        const bool ok = in.Next(line, e);
        number = in.lineNumber();
        return ok;
    };
    return parseLines(next, path, ports, net, error);
}

bool TouchstoneFile::Parse(const std::string& text, const std::string& name, int ports,
                           TouchstoneNetwork& net, std::string& error)
{
    std::istringstream in(text);
    long count = 0;
    const LineSource next = [&](std::string& line, long& number, std::string&) {
        if (!std::getline(in, line))
            return false;
        number = ++count;
        return true;
    };
    error.clear();
    return parseLines(next, name, ports, net, error);
}

}  // namespace amihost
