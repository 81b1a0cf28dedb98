#include "io/TextFileReader.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace Veltramodels20200612 {

namespace {

// Copies a C string into a new NUL-terminated array; null or empty gives
// `fallback` (which may itself be empty).
char* copyCharSet(const char* text, const char* fallback, int& count)
{
    const char* source = (text != nullptr && text[0] != '\0') ? text : fallback;
    size_t n = std::strlen(source);
    // Character sets are short; a limit keeps the count inside an int.
    if (n > 4096)
        n = 4096;
    char* copy = new char[n + 1];
    std::memcpy(copy, source, n);
    copy[n] = '\0';
    count = static_cast<int>(n);
    return copy;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// strtol in base 10, keeping the low 32 bits of the result.
int toInt32(const char* text)
{
    long v = std::strtol(text, nullptr, 10);
    return static_cast<int>(static_cast<uint32_t>(static_cast<unsigned long>(v)));
}

// Lines handed to the field functions are indexed with int; longer ones are
// refused rather than allowed to wrap the positions.
const int kMaxLineLength = INT_MAX - 4;

}  // namespace

TextFileReader::TextFileReader()
    : HeaderLines(0),
      LineCount(0),
      Delimiters(nullptr),
      NumDelimiters(0),
      CommentChars(nullptr),
      NumCommentChars(0),
      UseFile(nullptr)
{
    Delimiters = copyCharSet(nullptr, ",", NumDelimiters);
    CommentChars = copyCharSet(nullptr, "", NumCommentChars);
}

TextFileReader::TextFileReader(std::ofstream* log)
    : TextFileReader()
{
    UseFile = log;
    if (UseFile != nullptr && UseFile->is_open()) {
        *UseFile << "Veltramodels20200612"
                 << "::"
                 << "TextFileReader"
                 << "\n";
        UseFile->flush();
    }
}

TextFileReader::TextFileReader(const TextFileReader& other)
    : HeaderLines(other.HeaderLines),
      LineCount(other.LineCount),
      Delimiters(nullptr),
      NumDelimiters(0),
      CommentChars(nullptr),
      NumCommentChars(0),
      UseFile(other.UseFile)
{
    Delimiters = copyCharSet(other.Delimiters, ",", NumDelimiters);
    CommentChars = copyCharSet(other.CommentChars, "", NumCommentChars);
}

TextFileReader& TextFileReader::operator=(const TextFileReader& other)
{
    if (this != &other) {
        int nd = 0, nc = 0;
        char* d = copyCharSet(other.Delimiters, ",", nd);
        char* c = copyCharSet(other.CommentChars, "", nc);
        delete[] Delimiters;
        delete[] CommentChars;
        Delimiters = d;
        NumDelimiters = nd;
        CommentChars = c;
        NumCommentChars = nc;
        HeaderLines = other.HeaderLines;
        LineCount = other.LineCount;
        UseFile = other.UseFile;
    }
    return *this;
}

TextFileReader::~TextFileReader()
{
    delete[] Delimiters;
    delete[] CommentChars;
}

void TextFileReader::setParameters(int headerLines, const char* delimiters, const char* comments)
{
    HeaderLines = headerLines;
    delete[] Delimiters;
    Delimiters = copyCharSet(delimiters, ",", NumDelimiters);
    delete[] CommentChars;
    CommentChars = copyCharSet(comments, "", NumCommentChars);
    LineCount = 0;
}

bool TextFileReader::isaDelimiter(char c) const
{
    for (int k = 0; k < NumDelimiters; ++k)
        if (Delimiters[k] == c)
            return true;
    return false;
}

bool TextFileReader::isaComment(char c) const
{
    for (int k = 0; k < NumCommentChars; ++k)
        if (CommentChars[k] == c)
            return true;
    return false;
}

int TextFileReader::file_getline(std::fstream& file, std::string& line)
{
    std::string dropped;
    while (LineCount < HeaderLines) {
        if (!std::getline(file, dropped)) {
            line.clear();
            return 0;
        }
        ++LineCount;
    }
    if (!std::getline(file, line)) {
        line.clear();
        return 0;
    }
    ++LineCount;

    size_t p = 0;
    while (p < line.size() && (isaDelimiter(line[p]) || isaBlankOrTab(line[p])))
        ++p;
    if (p == line.size())
        return 0;
    if (isaComment(line[p]))
        return 0;

    size_t q = p + 1;
    while (q < line.size() && !isaComment(line[q]))
        ++q;
    line.resize(q);
    if (line.size() > static_cast<size_t>(kMaxLineLength))
        return 0;
    return static_cast<int>(line.size());
}

bool TextFileReader::skip_leadingDelimiters(char* line, int length, int* position)
{
    if (line == nullptr || position == nullptr)
        return false;
    int p = 0;
    while (p < length && (isaDelimiter(line[p]) || isaBlankOrTab(line[p])))
        ++p;
    *position = p;
    if (p >= length)
        return false;
    return !isaComment(line[p]);
}

bool TextFileReader::actualdataline(char* line, int length, int* position)
{
    if (line == nullptr || position == nullptr)
        return false;
    int p = 0;
    while (p < length && (isaDelimiter(line[p]) || isaBlankOrTab(line[p])))
        ++p;
    *position = p;
    if (p >= length)
        return false;
    char c = line[p];
    if (isaComment(c))
        return false;
    return isDigit(c) || c == '"' || c == '-';
}

bool TextFileReader::actualdatalinestr(char* line, int length, int* position)
{
    if (!skip_leadingDelimiters(line, length, position))
        return false;
    char c = line[*position];
    return isDigit(c) || c == '.' || isLetter(c) || c == '_' || c == '[' || c == '"';
}

int TextFileReader::lastIndexWithoutTrailingBlanks(const char* line, int last, int floor) const
{
    while (last > floor && isaBlankOrTab(line[last]))
        --last;
    return last;
}

bool TextFileReader::get_data(char* line, int* start, int* end, int length, char type, datatype_t* slot)
{
    if (line == nullptr || start == nullptr || end == nullptr || slot == nullptr)
        return false;
    if (length < 0 || length > kMaxLineLength)
        return false;
    *end = length - 1;
    const int s = *start;
    // A field can begin at most at the line's terminating NUL; anything else
    // lies outside the caller's buffer.
    if (s < 0 || s > length)
        return false;
    if (s < length && isaComment(line[s]))
        return false;

    int e;
    if (s >= length) {
        e = length - 1;
    } else if (s >= length - 1) {
        e = lastIndexWithoutTrailingBlanks(line, length - 1, s);
    } else if (type == 's') {
        char closing = '\0';
        if (line[s] == '"')
            closing = '"';
        else if (line[s] == '[')
            closing = ']';
        int i = s + 1;
        if (closing != '\0') {
            while (i < length && line[i] != closing)
                ++i;
            e = (i < length) ? i : lastIndexWithoutTrailingBlanks(line, length - 1, s);
        } else {
            while (i < length && !isaDelimiter(line[i]))
                ++i;
            e = (i < length) ? i - 1 : lastIndexWithoutTrailingBlanks(line, length - 1, s);
        }
    } else {
        // The line's last character is never taken as a delimiter.
        int i = s;
        while (i < length - 1 && !isaDelimiter(line[i]))
            ++i;
        e = (i < length - 1) ? i - 1 : lastIndexWithoutTrailingBlanks(line, length - 1, s);
    }

    *end = e;
    line[e + 1] = '\0';
    if (!set_data(line, s, type, slot))
        return false;
    advance_firstChar(line, start, end, length);
    return true;
}

bool TextFileReader::set_data(char* line, int position, char type, datatype_t* slot)
{
    if (line == nullptr || slot == nullptr || position < 0)
        return false;
    switch (type) {
    case 'c':
        slot->c = line[position];
        return true;
    case 'd':
        slot->d = std::strtod(line + position, nullptr);
        return true;
    case 'i':
        slot->i = toInt32(line + position);
        return true;
    case 's':
        slot->s = line + position;
        return true;
    default:
        return false;
    }
}

bool TextFileReader::advance_firstChar(char* line, int* start, int* end, int length)
{
    if (line == nullptr || start == nullptr || end == nullptr)
        return false;
    // One delimiter is skipped after the field's last character.
    int next = *end + 2;
    if (next >= 0 && next < length) {
        while (next < length && isaBlankOrTab(line[next]))
            ++next;
        if (next < length && isaComment(line[next]))
            next = length + 1;
    }
    *start = next;
    return next <= length;
}

bool TextFileReader::get_linedata(char* line, int* start, int* end, int length, const char* types,
                                  datatype_t* slots)
{
    if (line == nullptr || start == nullptr || end == nullptr || types == nullptr || slots == nullptr)
        return false;
    for (int k = 0; types[k] != '\0'; ++k) {
        if (length < *start)
            return false;
        if (!get_data(line, start, end, length, types[k], &slots[k]))
            return false;
    }
    return true;
}

bool TextFileReader::readFields(const char* text, char type, std::vector<datatype_t>& slots, int count)
{
    size_t len = std::strlen(text);
    if (len > static_cast<size_t>(kMaxLineLength))
        return false;
    std::vector<char> buffer(text, text + len + 1);
    std::string types(static_cast<size_t>(count), type);
    slots.assign(static_cast<size_t>(count), datatype_t());
    int start = 0;
    int end = 0;
    return get_linedata(buffer.data(), &start, &end, static_cast<int>(len), types.c_str(), slots.data());
}

namespace {

int countListItems(const char* text)
{
    long commas = 0;
    for (const char* p = text; *p != '\0'; ++p)
        if (*p == ',')
            ++commas;
    return commas >= INT_MAX - 1 ? INT_MAX : static_cast<int>(commas + 1);
}

}  // namespace

// The comma-separated list of text as fields of one type. An empty text is an
// empty list; a field that cannot be read fails the whole list with its line.
bool TextFileReader::readList(const char* text, char type, std::vector<datatype_t>& slots, const char* name,
                              std::stringstream& messages)
{
    slots.clear();
    if (text == nullptr || text[0] == '\0')
        return true;
    int n = countListItems(text);
    if (n == INT_MAX || !readFields(text, type, slots, n)) {
        messages << "ERROR:  Failed to get valid data for " << (name ? name : "") << "[].\n";
        return false;
    }
    return true;
}

bool TextFileReader::getLineValues(const char* text, std::vector<double>& values, const char* name,
                                   std::stringstream& messages)
{
    std::vector<datatype_t> slots;
    if (!readList(text, 'd', slots, name, messages))
        return false;
    values.resize(slots.size());
    for (size_t k = 0; k < slots.size(); ++k)
        values[k] = slots[k].d;
    return true;
}

bool TextFileReader::getLineValues(const char* text, std::vector<int>& values, const char* name,
                                   std::stringstream& messages)
{
    std::vector<datatype_t> slots;
    if (!readList(text, 'i', slots, name, messages))
        return false;
    values.resize(slots.size());
    for (size_t k = 0; k < slots.size(); ++k)
        values[k] = slots[k].i;
    return true;
}

bool TextFileReader::getLineValues(const char* text, std::vector<std::complex<double>>& values,
                                   const char* name, std::stringstream& messages)
{
    const char* listName = name ? name : "";
    std::string t(text ? text : "");
    if (t.find_first_not_of(' ') == std::string::npos) {
        values.clear();
        return true;
    }
    size_t n = 1;
    for (char c : t)
        if (c == ',')
            ++n;
    values.resize(n);

    size_t pos = 0;
    for (size_t k = 0; k < n; ++k) {
        while (pos < t.size() && t[pos] == ' ')
            ++pos;
        size_t e = t.find(',', pos);
        if (e == std::string::npos)
            e = t.size();

        size_t jpos = pos;
        while (jpos < e && t[jpos] != 'i' && t[jpos] != 'j')
            ++jpos;
        if (jpos == e) {
            messages << "ERROR:  Failed to find 'j' in the complex number for " << listName << "[].\n";
            return false;
        }
        t[jpos] = ' ';

        size_t sign = pos + 1;
        if (e - pos > 1)
            while (sign < e && t[sign] != '+' && t[sign] != '-')
                ++sign;
        if (e - pos <= 1 || sign >= e) {
            messages << "ERROR:  Failed to find real and imaginary parts of the complex number for "
                     << listName << "[].\n";
            return false;
        }
        double re = std::strtod(t.substr(pos, sign - pos).c_str(), nullptr);
        double im = std::strtod(t.substr(sign + 1, e - sign - 1).c_str(), nullptr);
        if (t[sign] == '-')
            im = -im;
        values[k] = std::complex<double>(re, im);
        pos = e + 1;
    }
    return true;
}

bool TextFileReader::indexLine(char* line, int length, const char* key, double* value)
{
    if (line == nullptr || key == nullptr || value == nullptr || length <= 0 || length > kMaxLineLength)
        return false;
    size_t keyLength = std::strlen(key);
    if (keyLength >= static_cast<size_t>(length))
        return false;
    const int m = static_cast<int>(keyLength);
    for (int i = 0; i + m < length; ++i) {
        if (std::memcmp(line + i, key, keyLength) != 0)
            continue;
        int position = i + m;
        while (position < length && line[position] == ' ')
            ++position;
        int end = 0;
        datatype_t slot;
        // A field that cannot be read (a comment right after the key) is
        // reported as a failure rather than as a value.
        if (!get_data(line, &position, &end, length, 'd', &slot))
            return false;
        *value = slot.d;
        return true;
    }
    return false;
}

}  // namespace Veltramodels20200612
