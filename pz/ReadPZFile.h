#ifndef VM_PZ_READPZFILE_H
#define VM_PZ_READPZFILE_H

#include <fstream>
#include <sstream>
#include <string>

#include "pz/PZ_Data.h"

namespace Veltramodels20200612 {

class TextFileReader;

// Reads a pole/zero text file into an array of PZ_Data records, one record
// per data line. The file holds a format line "# <unit>" before its data;
// each data line is "gain [poles] [zeros] [cpoles] [czeros]".
class ReadPZFile {
public:
    ReadPZFile();
    ~ReadPZFile();  // closes the file; the record array belongs to the caller

    bool Setup(std::ofstream* log, std::stringstream& messages);
    bool Initialize(std::stringstream& messages);

    bool get_formatData(TextFileReader& reader, int& lineCount, bool& formatFound, double& unitScale,
                        std::stringstream& messages);
    bool GetPZfromLine(char* line, double unitScale, PZ_Data& dataSet, std::stringstream& messages);

    PZ_Data* DataSets;               // array new; handed to the caller
    int Count;                       // records read so far
    std::stringstream Delimiters;    // " ,\t" after construction
    std::stringstream CommentChars;  // "!" after construction
    const char* FileName;            // not owned
    std::ofstream* LogFile;          // optional, registered by the first Setup
    std::fstream File;

private:
    ReadPZFile(const ReadPZFile&) = delete;
    ReadPZFile& operator=(const ReadPZFile&) = delete;
};

// Reads the pole/zero file directory/fileName. *dataSets is taken over on
// entry (null or an earlier array, released once the first data line is
// read) and always holds the records read on return, even on failure; the
// caller owns that array and releases it with delete[].
bool Get_PZ_Data(const char* directory, char* fileName, int expectedCount, PZ_Data** dataSets,
                 std::stringstream& messages);

}  // namespace Veltramodels20200612

#endif
