// ami-host: a command-line IBIS-AMI host for Init-only models.
//
// It calls a model library as a channel simulator does and reports what the
// model did: AMI_Init's return value and message, and the eye of the pulse
// response before and after the model. See usage() for the options.
//
// Exit status: 0 when every AMI_Init call returned 1, 1 when a call returned
// 0 (the report is still complete), 2 for bad input (one line on stderr).
#ifndef VM_TOOLS_AMI_HOST_AMIHOST_H
#define VM_TOOLS_AMI_HOST_AMIHOST_H

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tools/ami-host/AmiModelLibrary.h"
#include "tools/ami-host/AmiParameterFile.h"
#include "tools/ami-host/PulseEye.h"

namespace amihost {

struct HostOptions {
    std::string ModelPath;        // empty: the default library
    std::string AmiPath;          // empty: the default .ami file
    std::string ChannelPath;      // empty: the embedded channel
    double SampleInterval = 0.0;  // s, for one-column channel files
    bool PerSample = false;       // file samples are gain per sample
    double BitRate = 12.8e9;      // bit/s
    int SamplesPerBit = 32;       // embedded channel
    double LengthMetres = 0.3;    // embedded channel
    int SyntheticAggressors = 0;
    std::vector<std::string> AggressorFiles;
    std::string OutDir;
    bool Plot = false;
    bool Sweep = false;
    std::string SaveChannelPath;
    // Touchstone channels.
    std::string PortMap;  // empty: the default, 13_24
    int ThroughPair = 0;  // 0: the default, 1
    std::vector<int> FextPairs;
    std::vector<int> NextPairs;
    bool Help = false;
    // Batch runs.
    std::string Batch;    // list file or directory; empty: a single run
    std::string Corners;  // "all" or a comma-separated list; empty: the CornerCase in effect
    int Jobs = 0;         // worker threads; 0: one per core
    std::vector<std::pair<std::string, std::string>> Overrides;
};

// The channel matrix handed to AMI_Init, with its timing.
struct HostChannel {
    std::vector<std::vector<double>> Columns;  // V/s; through channel first, equal lengths
    double SampleInterval = 0.0;               // s
    double StartTime = 0.0;                    // s, time of sample 0
    double BitTime = 0.0;                      // s
    int SamplesPerBit = 0;
    std::string Description;
};

// Eye metrics of one set of columns (input or output).
struct HostEye {
    std::vector<double> Pulse;  // through channel, V
    EyeMetrics Metrics;
    std::vector<double> CrosstalkWorst;  // per aggressor, V
};

// One AMI_Init call on a channel and the eyes before and after it.
struct HostRunResult {
    AmiCallResult Call;
    std::vector<std::vector<double>> Output;  // the columns as the model returned them
    HostEye Before;
    HostEye After;
};

class AmiHost {
public:
    // Built-in defaults, set by main() from the build.
    std::string DefaultModelPath;
    std::string DefaultAmiPath;
    // stderr is a terminal: batch runs show a progress line there.
    bool ProgressOnTerminal = false;

    // The whole program. args excludes the program name.
    int Main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

    static std::string usage();
    // Parses the options; false with a one-line error.
    static bool parseArguments(const std::vector<std::string>& args, HostOptions& o, std::string& error);
    // The channel the options ask for, checked.
    static bool buildChannel(const HostOptions& o, HostChannel& ch, std::string& error);
    // Synthetic crosstalk column k (1-based): the through channel scaled by
    // 1/(10 k) (-20 dB, -26 dB, ...) and delayed by 0.37 k bits.
    static std::vector<double> syntheticAggressor(const std::vector<double>& through, int k,
                                                  int samplesPerBit);
    static HostEye measure(const std::vector<std::vector<double>>& columns, const HostChannel& ch);
    // AMI_Init (and AMI_Close) on a copy of the channel, and both eyes: what
    // a single run and every batch row compute.
    static HostRunResult callModel(const AmiModelLibrary& lib, const HostChannel& ch,
                                   const std::string& parameters);
    // The state number after the last "PreEmphasis state = " in a message; -1 if none.
    static long chosenState(const std::string& message);

private:
    int runOnce(const HostOptions& o, const AmiParameterFile& ami, const std::string& parameters,
                const AmiModelLibrary& lib, const HostChannel& ch, std::ostream& out, std::string& error);
    int runBatch(const HostOptions& o, const AmiParameterFile& ami, const AmiModelLibrary& lib,
                 std::ostream& out, std::ostream& err, std::string& error) const;
    // Writes batch.gp into dir and, when render is set, runs gnuplot on it.
    static bool plotBatch(const std::string& dir, bool render, std::string& error);
    int runSweep(const HostOptions& o, const AmiParameterFile& ami, const AmiModelLibrary& lib,
                 const HostChannel& ch, std::ostream& out, std::string& error);
    static bool writeOutputs(const HostOptions& o, const HostChannel& ch,
                             const std::vector<std::vector<double>>& after, const HostEye& before,
                             const HostEye& eyeAfter, const AmiCallResult& r, const std::string& parameters,
                             const std::string& report, std::string& error);
    static bool plot(const std::string& dir, const HostChannel& ch, const HostEye& before,
                     const HostEye& after, std::string& error);
    static bool plotSweep(const std::string& dir, const std::vector<std::string>& cornerNames, size_t states,
                          const std::string& stateName, std::string& error);
    // Writes the script into dir and runs gnuplot there.
    static bool runGnuplot(const std::string& dir, const std::string& scriptName, const std::string& script,
                           std::string& error);
};

}  // namespace amihost

#endif
