#ifndef VM_IO_TEXTFILEREADER_H
#define VM_IO_TEXTFILEREADER_H

#include <complex>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace Veltramodels20200612 {

// One typed field of a text line. Which member is valid follows the type
// letter the field was read with: 'd' -> d, 'i' -> i, 'c' -> c, 's' -> s.
// The 's' pointer points into the caller's line, which the reader has cut
// with a NUL right after the field.
union datatype_t {
    double d;
    int i;
    char c;
    char* s;
};

// Reader of delimited text lines. Splits a line into typed fields in place:
// every field read gets a NUL written right after it, so the line buffer
// must hold at least length + 1 characters (a NUL-terminated C string of
// that length does).
class TextFileReader {
public:
    TextFileReader();
    explicit TextFileReader(std::ofstream* log);
    TextFileReader(const TextFileReader& other);
    TextFileReader& operator=(const TextFileReader& other);
    ~TextFileReader();

    int HeaderLines;   // lines file_getline drops at the start of a file
    int LineCount;     // lines read so far
    char* Delimiters;  // field delimiters, NUL-terminated
    int NumDelimiters;
    char* CommentChars;  // comment characters, NUL-terminated, may be empty
    int NumCommentChars;
    std::ofstream* UseFile;  // optional log, not owned

    void setParameters(int headerLines, const char* delimiters, const char* comments);
    bool isaDelimiter(char c) const;
    bool isaComment(char c) const;

    // Reads the next line into `line`. Returns the usable length (the line is
    // cut before a comment), or 0 for a line to ignore (empty, delimiters
    // only, comment only, or nothing left to read).
    int file_getline(std::fstream& file, std::string& line);

    bool skip_leadingDelimiters(char* line, int length, int* position);
    bool actualdataline(char* line, int length, int* position);
    bool actualdatalinestr(char* line, int length, int* position);

    bool get_data(char* line, int* start, int* end, int length, char type, datatype_t* slot);
    bool set_data(char* line, int position, char type, datatype_t* slot);
    bool advance_firstChar(char* line, int* start, int* end, int length);
    bool get_linedata(char* line, int* start, int* end, int length, const char* types, datatype_t* slots);

    bool getLineValues(const char* text, std::vector<double>& values, const char* name,
                       std::stringstream& messages);
    bool getLineValues(const char* text, std::vector<int>& values, const char* name,
                       std::stringstream& messages);
    bool getLineValues(const char* text, std::vector<std::complex<double>>& values, const char* name,
                       std::stringstream& messages);

    bool indexLine(char* line, int length, const char* key, double* value);

private:
    bool isaBlankOrTab(char c) const { return c == ' ' || c == '\t'; }
    int lastIndexWithoutTrailingBlanks(const char* line, int last, int floor) const;
    bool readFields(const char* text, char type, std::vector<datatype_t>& slots, int count);
    bool readList(const char* text, char type, std::vector<datatype_t>& slots, const char* name,
                  std::stringstream& messages);
};

}  // namespace Veltramodels20200612

#endif
