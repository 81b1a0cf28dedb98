// Many channels at once: ami-host --batch LIST|DIR.
//
// Every channel file (impulse or Touchstone) is run with every chosen corner,
// each (file, corner) as its own AMI_Init call, exactly as a single run of
// ami-host --channel FILE CornerCase=C would make it: the same channel
// building, the same parameter string and the same eye measurement, so a row
// equals that run's report. The calls go to worker threads (the model builds
// a separate instance per AMI_Init call and shares nothing between calls). A
// file that cannot be read fails its own rows with its error line; the rest
// go on.
#ifndef VM_TOOLS_AMI_HOST_BATCHRUNNER_H
#define VM_TOOLS_AMI_HOST_BATCHRUNNER_H

#include <ostream>
#include <string>
#include <vector>

#include "tools/ami-host/AmiHost.h"

namespace amihost {

// The result of one (file, corner) run.
struct BatchRow {
    std::string File;
    std::string Corner;    // empty when the .ami file has no CornerCase
    bool InputOk = false;  // the channel was read and the model called
    long InitReturn = 0;
    long State = -1;  // "PreEmphasis state = N" of the message, -1 if none
    EyeMetrics Before;
    EyeMetrics After;
    std::string Message;  // the model's message
    std::string Error;    // the error line of a file that failed
};

class BatchRunner {
public:
    int Jobs = 0;                      // worker threads; 0: one per core
    std::ostream* Progress = nullptr;  // a terminal: "\r" progress line

    // The files of a directory (regular files, sorted by name, hidden ones
    // skipped), or the paths listed in a text file (one per line, '#'
    // comments, relative paths taken from the list's directory).
    static bool listFiles(const std::string& listOrDir, std::vector<std::string>& files, std::string& error);

    // One row, the way a single run computes it.
    static BatchRow runOne(const HostOptions& options, const AmiParameterFile& ami,
                           const AmiModelLibrary& lib, const std::string& file, const std::string& corner);

    // Every file x corner, rows in that order (file major).
    std::vector<BatchRow> Run(const HostOptions& options, const AmiParameterFile& ami,
                              const AmiModelLibrary& lib, const std::vector<std::string>& files,
                              const std::vector<std::string>& corners) const;

    // batch.csv: file, corner, AMI_Init return, chosen state, eye height and
    // width before and after, status ("ok", "AMI_Init returned 0: " and the
    // model's message on one line, or the file's error line). Text fields
    // are quoted.
    static bool WriteCsv(const std::string& path, const std::vector<BatchRow>& rows, std::string& error);
    // The table printed on stdout.
    static std::string report(const std::vector<BatchRow>& rows);
    // The status text of a row.
    static std::string status(const BatchRow& row);
};

}  // namespace amihost

#endif
