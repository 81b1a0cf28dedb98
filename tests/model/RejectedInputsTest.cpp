// The README's table of rejected host inputs, checked against the library:
// every row's call is made through the built shared library and must give
// the row's return value and exactly its message. And every refusal text
// the entry points can write must appear in the table, so that a new check
// cannot go undocumented.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "tests/model/AmiTestHost.h"

using namespace amitest;

namespace {

std::string readFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

struct Row {
    std::string input;
    std::string call;  // the Call column's code span
    std::string returns;
    bool hasMessage = false;  // false: "nothing written"
    std::string message;      // with \n turned into line feeds
    int line = 0;
};

std::string trim(const std::string& s)
{
    const size_t a = s.find_first_not_of(" \t");
    const size_t b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

// The text between the first and the last backtick of a cell; false if the
// cell holds no code span.
bool codeSpan(const std::string& cell, std::string& out)
{
    const size_t a = cell.find('`');
    const size_t b = cell.rfind('`');
    if (a == std::string::npos || b == a)
        return false;
    out = cell.substr(a + 1, b - a - 1);
    return true;
}

std::string unescape(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 'n') {
            out += '\n';
            ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

// Splits a table line at the '|' that are not inside a code span.
std::vector<std::string> cells(const std::string& line)
{
    std::vector<std::string> out;
    std::string cur;
    bool inCode = false;
    for (char c : line) {
        if (c == '`')
            inCode = !inCode;
        if (c == '|' && !inCode) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(cur);
    // Drop what lies outside the outer bars.
    if (!out.empty())
        out.erase(out.begin());
    if (!out.empty())
        out.pop_back();
    return out;
}

std::vector<Row> readmeRows(std::string& error)
{
    const std::string text = readFile(std::string(VM_SOURCE_DIR) + "/README.md");
    std::istringstream lines(text);
    std::string line;
    std::vector<Row> rows;
    bool inSection = false;
    int number = 0;
    int tableLine = 0;
    while (std::getline(lines, line)) {
        ++number;
        if (line.rfind("## ", 0) == 0) {
            inSection = trim(line) == "## Rejected host inputs";
            continue;
        }
        if (!inSection || line.empty() || line[0] != '|')
            continue;
        if (++tableLine <= 2)  // header and separator
            continue;
        const std::vector<std::string> c = cells(line);
        if (c.size() != 4) {
            error = "README line " + std::to_string(number) + " does not have four cells";
            return {};
        }
        Row r;
        r.input = trim(c[0]);
        r.returns = trim(c[2]);
        r.line = number;
        if (!codeSpan(c[1], r.call)) {
            error = "README line " + std::to_string(number) + " has no call";
            return {};
        }
        std::string m;
        r.hasMessage = codeSpan(c[3], m);
        if (r.hasMessage)
            r.message = unescape(m);
        else if (trim(c[3]) != "nothing written") {
            error =
                "README line " + std::to_string(number) + " has neither a message nor \"nothing written\"";
            return {};
        }
        rows.push_back(r);
    }
    return rows;
}

bool parseDouble(const std::string& text, double bitTime, double& out)
{
    std::string v = text;
    double divisor = 1.0;
    if (v.rfind("bit_time/", 0) == 0) {
        char* end = nullptr;
        divisor = std::strtod(v.c_str() + 9, &end);
        if (*end != '\0')
            return false;
        out = bitTime / divisor;
        return true;
    }
    if (v == "nan") {
        out = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (v == "inf" || v == "-inf") {
        out = v[0] == '-' ? -HUGE_VAL : HUGE_VAL;
        return true;
    }
    char* end = nullptr;
    out = std::strtod(v.c_str(), &end);
    return !v.empty() && *end == '\0';
}

bool parseLong(const std::string& text, long& out)
{
    char* end = nullptr;
    errno = 0;
    out = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && errno == 0;
}

// One call as a Call column describes it, applied to the table's valid call.
struct HostCall {
    long rows = 256;
    long aggressors = 0;
    double bitTime = kBitTime;
    double sampleInterval = kSampleInterval;
    bool sampleIntervalSet = false;
    std::string sampleIntervalText;
    bool nullImpulse = false, nullMsg = false, nullHandle = false, nullParams = false, closeNull = false;
    std::string params = "(VELMOR7700X (AutoInit 0) (PreEmphasis 5) (CornerCase 0))";
    std::vector<std::pair<long, double>> samples;
    std::vector<long> zeroColumns;  // column[k]=0: every sample of column k is 0
};

bool parseCall(const std::string& text, HostCall& c, std::string& error)
{
    std::string rest = text;
    while (!rest.empty()) {
        std::string item;
        // params= takes the rest of the text: a parameter tree may hold ';'.
        if (rest.rfind("params=", 0) == 0) {
            item = rest;
            rest.clear();
        } else {
            const size_t semi = rest.find("; ");
            item = rest.substr(0, semi);
            rest = semi == std::string::npos ? std::string() : rest.substr(semi + 2);
        }
        const size_t eq = item.find('=');
        if (eq == std::string::npos) {
            error = "no '=' in \"" + item + "\"";
            return false;
        }
        const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        bool ok = true;
        if (key == "sample_interval") {
            c.sampleIntervalSet = true;
            c.sampleIntervalText = value;
        } else if (key == "bit_time") {
            ok = parseDouble(value, kBitTime, c.bitTime);
        } else if (key == "row_size") {
            ok = parseLong(value, c.rows);
        } else if (key == "aggressors") {
            ok = parseLong(value, c.aggressors);
        } else if (key == "impulse" && value == "null") {
            c.nullImpulse = true;
        } else if (key.rfind("impulse[", 0) == 0 && key.back() == ']') {
            long k = 0;
            double v = 0;
            ok = parseLong(key.substr(8, key.size() - 9), k) && parseDouble(value, kBitTime, v);
            c.samples.emplace_back(k, v);
        } else if (key.rfind("column[", 0) == 0 && key.back() == ']' && value == "0") {
            long k = 0;
            ok = parseLong(key.substr(7, key.size() - 8), k);
            c.zeroColumns.push_back(k);
        } else if (key == "msg" && value == "null") {
            c.nullMsg = true;
        } else if (key == "handle" && value == "null") {
            c.nullHandle = true;
        } else if (key == "close" && value == "null") {
            c.closeNull = true;
        } else if (key == "params") {
            if (value == "null")
                c.nullParams = true;
            else
                c.params = value;
        } else {
            ok = false;
        }
        if (!ok) {
            error = "cannot read \"" + item + "\"";
            return false;
        }
    }
    // A sample interval given relative to the bit time uses the row's bit time.
    if (c.sampleIntervalSet && !parseDouble(c.sampleIntervalText, c.bitTime, c.sampleInterval)) {
        error = "cannot read sample_interval=" + c.sampleIntervalText;
        return false;
    }
    return true;
}

struct Outcome {
    long ret = -1;
    bool msgWritten = false;
    bool handleWritten = false;
    std::string message;
    long closeRet = -1;
};

Outcome run(const HostCall& c)
{
    Library& lib = library();
    Outcome o;
    if (c.closeNull) {
        o.ret = lib.close(nullptr);
        return o;
    }
    // The matrix the sizes describe, kept small: a size the call must refuse
    // gets a matrix of two columns, which the call must not read at all.
    const long rows = c.rows > 0 && c.rows <= 4096 ? c.rows : 256;
    const long columns = c.aggressors >= 0 && c.aggressors < 8 ? c.aggressors + 1 : 2;
    std::vector<double> matrix;
    for (long k = 0; k < columns; ++k) {
        const std::vector<double> col = lossyChannel(rows, 0.5 + 0.2 * k, 1.0 + k, 3, k == 0 ? 0.8 : 0.05);
        matrix.insert(matrix.end(), col.begin(), col.end());
    }
    for (long k : c.zeroColumns)
        for (long i = 0; i < rows && k >= 0 && k < columns; ++i)
            matrix[static_cast<size_t>(k * rows + i)] = 0.0;
    for (const auto& s : c.samples)
        if (s.first >= 0 && s.first < static_cast<long>(matrix.size()))
            matrix[s.first] = s.second;

    std::vector<char> text(c.params.begin(), c.params.end());
    text.push_back('\0');
    char sentinel = 0;
    char* msg = &sentinel;
    void* handle = &sentinel;
    char* out = nullptr;
    o.ret = lib.init(c.nullImpulse ? nullptr : matrix.data(), c.rows, c.aggressors, c.sampleInterval,
                     c.bitTime, c.nullParams ? nullptr : text.data(), &out, c.nullHandle ? nullptr : &handle,
                     c.nullMsg ? nullptr : &msg);
    o.msgWritten = msg != &sentinel;
    o.handleWritten = handle != &sentinel;
    if (o.msgWritten && msg != nullptr)
        o.message = msg;
    if (o.handleWritten)
        o.closeRet = lib.close(handle);
    return o;
}

// The refusal texts of the entry points: the string literals of the source
// that start a refusal line.
std::vector<std::string> refusalLiterals()
{
    const std::string src = readFile(std::string(VM_SOURCE_DIR) + "/model/VELMOR7700X_AMI.cpp");
    std::vector<std::string> out;
    size_t pos = 0;
    while ((pos = src.find('"', pos)) != std::string::npos) {
        const size_t end = src.find('"', pos + 1);
        if (end == std::string::npos)
            break;
        const std::string literal = src.substr(pos + 1, end - pos - 1);
        if (literal.rfind("Invalid AMI_Init argument: ", 0) == 0 ||
            literal.rfind("Error occurred in VELMOR7700X::AMI_Init(): out of memory.", 0) == 0)
            out.push_back(unescape(literal));
        pos = end + 1;
    }
    return out;
}

}  // namespace

TEST(RejectedInputs, EveryReadmeRowGivesItsMessage)
{
    ASSERT_EQ(library().error, "");
    std::string error;
    const std::vector<Row> rows = readmeRows(error);
    ASSERT_EQ(error, "");
    ASSERT_GE(rows.size(), 25u) << "the README table of rejected host inputs is missing or cut short";
    for (const Row& r : rows) {
        SCOPED_TRACE("README line " + std::to_string(r.line) + ": " + r.input);
        HostCall c;
        ASSERT_TRUE(parseCall(r.call, c, error)) << error;
        const Outcome o = run(c);
        EXPECT_EQ(std::to_string(o.ret), r.returns);
        if (c.closeNull)
            continue;
        if (r.hasMessage) {
            EXPECT_TRUE(o.msgWritten);
            EXPECT_EQ(o.message, r.message);
            // A refused call still hands back a handle that AMI_Close frees.
            EXPECT_TRUE(o.handleWritten);
            EXPECT_GE(o.closeRet, 0);
        } else {
            EXPECT_FALSE(o.msgWritten) << "message written: " << o.message;
            EXPECT_FALSE(o.handleWritten);
        }
    }
}

TEST(RejectedInputs, EveryRefusalOfTheEntryPointsIsInTheReadme)
{
    std::string error;
    const std::vector<Row> rows = readmeRows(error);
    ASSERT_EQ(error, "");
    const std::vector<std::string> literals = refusalLiterals();
    ASSERT_GE(literals.size(), 6u);
    for (const std::string& literal : literals) {
        bool found = false;
        for (const Row& r : rows)
            found = found || r.message.find(literal) != std::string::npos;
        EXPECT_TRUE(found) << "not in the README table: \"" << literal << "\"";
    }
}

TEST(RejectedInputs, TheValidCallOfTheTableSucceeds)
{
    // The rows differ from this call only by what they name, so it must pass.
    ASSERT_EQ(library().error, "");
    HostCall c;
    std::string error;
    ASSERT_TRUE(parseCall("aggressors=2", c, error)) << error;
    const Outcome o = run(c);
    EXPECT_EQ(o.ret, 1) << o.message;
    EXPECT_EQ(o.message, "CornerCase = 0 (Typical)\nTx emphasis model based on step response data.\n"
                         "The selected PreEmphasis state = 5\n");
    EXPECT_EQ(o.closeRet, 1);
}
