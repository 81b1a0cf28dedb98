#include "params/ParamParser.h"

#include "io/TextFileReader.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace Veltramodels20200612 {

namespace {

// Positions in the working copy are int; a text that would not leave room
// for index arithmetic (k + m, position + 1, ...) is treated as empty.
const size_t kMaxTextLength = INT_MAX / 4;

// Characters that end a name in the working copy (a tab or ')' does not).
bool endsName(char c)
{
    return c == ' ' || c == '\n' || c == '\f' || c == '\r';
}

// Characters that may stand between the root name and its first group.
bool isRootGap(char c)
{
    return c == '\n' || c == ' ' || c == '\f' || c == '\r' || c == '(';
}

// Characters skipped in a query before its part name.
bool isQueryLead(char c)
{
    return c == ' ' || c == '(' || c == ')' || c == '\t' || c == '\n';
}

char* copyName(const char* source, size_t n)
{
    char* name = new char[n + 1];
    std::memcpy(name, source, n);
    name[n] = '\0';
    return name;
}

std::string makeQuery(const char* branch, const char* leaf)
{
    std::string query(branch ? branch : "");
    query += '.';
    query += (leaf ? leaf : "");
    return query;
}

void writeInitMessage(std::stringstream& messages, const char* branch, const char* leaf)
{
    messages << "The IBIS-AMI model, " << (branch ? branch : "") << ", is unable to initialize the parameter "
             << (leaf ? leaf : "") << " from the AMI_Init arguments.";
}

}  // namespace

ParamParser::ParamParser(const char* parameters)
    : ParamString(nullptr),
      NestLevel(nullptr),
      FirstParenIndex(-1),
      ParamLength(0),
      PartName(nullptr),
      ValueName(nullptr),
      SubBranchName(nullptr),
      PartNameLength(0),
      ValueNameLength(0),
      SubBranchNameLength(0)
{
    // A missing text is taken as an empty one: every lookup then fails.
    if (parameters == nullptr)
        return;
    const size_t n = std::strlen(parameters);
    if (n == 0)
        return;

    // Every '(' after the first character gets a blank in front of it unless
    // the text already has one there, so that "(Root(Leaf 1))" reads like
    // "(Root (Leaf 1))": a name is only ever ended by a blank or line end.
    size_t extra = 0;
    for (size_t i = 1; i < n; ++i)
        if (parameters[i] == '(' && parameters[i - 1] != ' ')
            ++extra;
    const size_t total = n + extra;
    if (total > kMaxTextLength)
        return;

    // Both arrays or neither: a constructor that throws runs no destructor,
    // so the first array must not be left behind if the second cannot be had.
    std::unique_ptr<char[]> text(new char[total + 1]);
    NestLevel = new int32_t[total + 1];
    ParamString = text.release();
    size_t out = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i > 0 && parameters[i] == '(' && parameters[i - 1] != ' ')
            ParamString[out++] = ' ';
        ParamString[out++] = parameters[i];
    }
    ParamString[total] = '\0';
    ParamLength = total;

    // Depth of every parenthesis; balance is not enforced, so after a stray
    // ')' later groups get depths that the level searches never ask for.
    int32_t depth = 0;
    for (size_t i = 0; i <= total; ++i)
        NestLevel[i] = 0;
    for (size_t i = 0; i < total; ++i) {
        if (ParamString[i] == '(') {
            ++depth;
            NestLevel[i] = depth;
            if (FirstParenIndex < 0)
                FirstParenIndex = static_cast<int32_t>(i);
        } else if (ParamString[i] == ')') {
            NestLevel[i] = -depth;
            --depth;
        }
    }
}

ParamParser::~ParamParser()
{
    delete[] ParamString;
    delete[] NestLevel;
    delete[] PartName;
    delete[] ValueName;
    delete[] SubBranchName;
}

void ParamParser::releaseQueryNames()
{
    delete[] ValueName;
    ValueName = nullptr;
    ValueNameLength = 0;
    delete[] SubBranchName;
    SubBranchName = nullptr;
    SubBranchNameLength = 0;
}

bool ParamParser::getPartName(const char* query)
{
    if (query == nullptr)
        return false;
    size_t start = 0;
    while (query[start] != '\0' && isQueryLead(query[start]))
        ++start;
    const char* dot = std::strchr(query + start, '.');
    if (dot == nullptr)
        return false;
    const size_t n = static_cast<size_t>(dot - (query + start));
    if (n > kMaxTextLength)
        return false;

    // The part name is kept whatever the root comparison below gives.
    delete[] PartName;
    PartName = copyName(query + start, n);
    PartNameLength = static_cast<int32_t>(n);
    if (dot == query)
        return false;
    if (ParamString == nullptr)
        return false;

    const long long L = static_cast<long long>(ParamLength);
    long long j = static_cast<long long>(FirstParenIndex) + 1;
    const long long limit = std::min(L, j + static_cast<long long>(n) + 1);
    while (j < limit && ParamString[j] == ' ')
        ++j;

    // Compare the name with its NUL, so that a root going on with further
    // name characters does not match; gap characters after the root shorten
    // the comparison instead. Positions past the copy's terminator count as
    // a NUL.
    long long w = static_cast<long long>(n) + 1;
    while (w > 1) {
        const long long idx = j + w - 1;
        const char c = idx <= L ? ParamString[idx] : '\0';
        if (!isRootGap(c))
            break;
        --w;
    }
    return std::strncmp(PartName, ParamString + j, static_cast<size_t>(w)) == 0;
}

bool ParamParser::ParseValueName(const char* query)
{
    if (ParamString == nullptr || query == nullptr)
        return false;
    if (PartName == nullptr && !getPartName(query))
        return false;
    releaseQueryNames();

    const size_t qlen = std::strlen(query);
    if (qlen > kMaxTextLength)
        return false;
    // The value name is taken at the stored part-name length, whatever this
    // query's own part name is.
    const size_t p = static_cast<size_t>(PartNameLength) + 1;
    if (qlen <= p)
        return false;

    // A '.' in the query's last position belongs to the name.
    auto nameEnd = [&](size_t from) {
        size_t e = from;
        while (e < qlen && !(query[e] == '.' && e != qlen - 1))
            ++e;
        return e;
    };
    const size_t valueEnd = nameEnd(p);
    ValueName = copyName(query + p, valueEnd - p);
    ValueNameLength = static_cast<int32_t>(valueEnd - p);
    if (valueEnd == qlen)
        return true;

    const size_t subStart = valueEnd + 1;
    const size_t subEnd = nameEnd(subStart);
    SubBranchName = copyName(query + subStart, subEnd - subStart);
    SubBranchNameLength = static_cast<int32_t>(subEnd - subStart);
    return true;
}

bool ParamParser::FindParamName(int* position, int level, int nameLength, const char* name)
{
    if (position == nullptr || name == nullptr || nameLength < 0 || ParamString == nullptr)
        return false;
    const int L = length();
    // Never compare beyond the end of the given name.
    const int m = static_cast<int>(strnlen(name, static_cast<size_t>(nameLength)));
    int i = *position < 0 ? 0 : *position;
    while (i < L) {
        if (NestLevel[i] != level || i + 1 >= L) {
            ++i;
            continue;
        }
        int k = i + 1;
        while (k < L && ParamString[k] == ' ')
            ++k;
        // The copy's last character never belongs to a name.
        int j = 0;
        while (j < m && k + j < L - 1 && ParamString[k + j] == name[j])
            ++j;
        if (j == m && k + m <= L - 1 && (k + m >= L - 1 || endsName(ParamString[k + m]))) {
            *position = k + m;
            return true;
        }
        i = k + j + 1;
    }
    return false;
}

bool ParamParser::FindValueIndex(int* index)
{
    if (index == nullptr)
        return false;
    *index = -1;
    if (ParamString == nullptr || ValueName == nullptr)
        return false;
    int position = 0;
    if (!FindParamName(&position, 2, ValueNameLength, ValueName))
        return false;
    // The level-3 search runs on to the end of the text, past the group
    // that the level-2 name opened.
    if (SubBranchName != nullptr && !FindParamName(&position, 3, SubBranchNameLength, SubBranchName))
        return false;
    const int L = length();
    int i = position + 1;
    while (i < L && ParamString[i] == ' ')
        ++i;
    if (i >= L)
        return false;
    *index = i;
    return true;
}

bool ParamParser::findScalarValue(const char* query, int* start)
{
    releaseQueryNames();
    if (!ParseValueName(query))
        return false;
    int s = -1;
    if (!FindValueIndex(&s))
        return false;
    const int L = length();
    // A value is ended by a blank, a parenthesis or the copy's last
    // character; tabs and line ends stay in the text but stop the
    // conversion anyway.
    int e = s;
    if (s != L - 1 && NestLevel[s] == 0) {
        e = s + 1;
        while (e != L - 1 && NestLevel[e] == 0 && ParamString[e] != ' ')
            ++e;
    }
    ParamString[e] = '\0';
    *start = s;
    return true;
}

bool ParamParser::GetValueI(int& value, const char* query)
{
    value = -1;
    int s = 0;
    if (!findScalarValue(query, &s))
        return false;
    const long v = std::strtol(ParamString + s, nullptr, 10);
    value = static_cast<int>(static_cast<uint32_t>(static_cast<unsigned long>(v)));
    return true;
}

bool ParamParser::GetValueD(double& value, const char* query)
{
    value = -1.0;
    int s = 0;
    if (!findScalarValue(query, &s))
        return false;
    value = std::strtod(ParamString + s, nullptr);
    return true;
}

bool ParamParser::GetValueSS(std::stringstream& out, const char* query)
{
    out.str("");
    out.clear();
    releaseQueryNames();
    if (!ParseValueName(query))
        return false;
    int s = -1;
    if (!FindValueIndex(&s))
        return false;
    if (ParamString[s] != '"')
        return false;

    const int L = length();
    const int k = s + 1;
    if (k >= L)
        return true;
    if (NestLevel[k] != 0)
        return false;

    // No escapes: the string ends at the next quote or at the copy's last
    // character, and a parenthesis before that makes it invalid. A string
    // opened right before the last character is empty.
    int end = k;
    if (ParamString[k] != '"' && k != L - 1) {
        int q = k + 1;
        for (;;) {
            if (NestLevel[q] != 0)
                return false;
            if (q == L - 1 || ParamString[q] == '"')
                break;
            ++q;
        }
        end = q;
    }
    ParamString[end] = '\0';
    // Earlier reads may have cut the text inside the string; what is visible
    // stops at the first NUL.
    out << (ParamString + k);
    return true;
}

bool ParamParser::Get_iValue(const char* branch, const char* leaf, int& value, std::stringstream& messages)
{
    int result = 0;
    if (GetValueI(result, makeQuery(branch, leaf).c_str())) {
        value = result;
        return true;
    }
    writeInitMessage(messages, branch, leaf);
    messages << "The model will use the default setting = " << value << ".\n";
    return false;
}

bool ParamParser::Get_dValue(const char* branch, const char* leaf, double& value, std::stringstream& messages)
{
    double result = 0.0;
    if (GetValueD(result, makeQuery(branch, leaf).c_str())) {
        value = result;
        return true;
    }
    writeInitMessage(messages, branch, leaf);
    messages << "The model will use the default setting = " << value << ".\n";
    return false;
}

bool ParamParser::Get_ssValue(const char* branch, const char* leaf, std::stringstream& out,
                              std::stringstream& messages)
{
    if (GetValueSS(out, makeQuery(branch, leaf).c_str()))
        return true;
    writeInitMessage(messages, branch, leaf);
    messages << " The model will use the default setting.\n";
    return false;
}

bool ParamParser::Get_cValue(const char* branch, const char* leaf, char** out, std::stringstream& messages)
{
    std::stringstream text;
    if (GetValueSS(text, makeQuery(branch, leaf).c_str())) {
        if (out != nullptr) {
            const std::string s = text.str();
            char* copy = new char[s.size() + 1];
            std::memcpy(copy, s.c_str(), s.size() + 1);
            *out = copy;
        }
        return true;
    }
    writeInitMessage(messages, branch, leaf);
    messages << " The model will use the default setting.\n";
    return false;
}

// Both list getters: the quoted string of branch.leaf, split by the text
// reader's field rules with ',' as the delimiter and '!' as the comment.
template <typename T>
bool ParamParser::getList(const char* branch, const char* leaf, std::vector<T>& values,
                          std::stringstream& messages)
{
    std::stringstream text;
    if (!GetValueSS(text, makeQuery(branch, leaf).c_str())) {
        writeInitMessage(messages, branch, leaf);
        messages << "The model will use the default setting.\n";
        return false;
    }
    const std::string s = text.str();
    if (s.empty()) {
        values.clear();
        return true;
    }
    TextFileReader reader;
    reader.setParameters(0, ",", "!");
    return reader.getLineValues(s.c_str(), values, leaf ? leaf : "", messages);
}

bool ParamParser::Get_ssdValue(const char* branch, const char* leaf, std::vector<double>& values,
                               std::stringstream& messages)
{
    return getList(branch, leaf, values, messages);
}

bool ParamParser::Get_ssiValue(const char* branch, const char* leaf, std::vector<int>& values,
                               std::stringstream& messages)
{
    return getList(branch, leaf, values, messages);
}

}  // namespace Veltramodels20200612
