#include "tools/ami-host/AmiHost.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>

#include "tools/ami-host/BatchRunner.h"
#include "tools/ami-host/ChannelFile.h"
#include "tools/ami-host/LossyChannel.h"
#include "tools/ami-host/NumberText.h"
#include "tools/ami-host/SParameterChannel.h"
#include "tools/ami-host/TouchstoneFile.h"

namespace amihost {

namespace {

// Makes the output directory (and its parents) unless it is there; false with
// the error line when it cannot be used.
bool makeOutputDir(const std::string& dir, std::string& error)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir)) {
        error = "cannot create output directory '" + dir + "'";
        return false;
    }
    return true;
}

const char* const kProgram = "ami-host";

// Columns of equal length, one after another, as AMI_Init wants them.
std::vector<double> flatten(const std::vector<std::vector<double>>& columns)
{
    std::vector<double> m;
    for (const std::vector<double>& c : columns)
        m.insert(m.end(), c.begin(), c.end());
    return m;
}

std::vector<std::vector<double>> unflatten(const std::vector<double>& m, size_t count, size_t rows)
{
    std::vector<std::vector<double>> c(count);
    for (size_t i = 0; i < count; ++i)
        c[i].assign(m.begin() + static_cast<long>(i * rows), m.begin() + static_cast<long>((i + 1) * rows));
    return c;
}

std::string mV(double volts)
{
    return NumberText::fixed(volts * 1e3, 1);
}

std::string padLeft(const std::string& s, size_t width)
{
    return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

std::string padRight(const std::string& s, size_t width)
{
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

// Effective value of a parameter: the last override, else the default.
std::string effectiveValue(const AmiParameterFile& ami,
                           const std::vector<std::pair<std::string, std::string>>& ov,
                           const std::string& name)
{
    const AmiParameter* p = ami.find(name);
    if (p == nullptr)
        return "";
    std::string v = p->Default;
    for (const std::pair<std::string, std::string>& o : ov)
        if (ami.find(o.first) == p)
            v = o.second;
    return v;
}

bool takesValue(const std::string& opt)
{
    static const char* const withValue[] = {"--model",          "--ami",
                                            "--channel",        "--sample-interval",
                                            "--bit-rate",       "--samples-per-bit",
                                            "--length",         "--aggressors",
                                            "--aggressor-file", "--out",
                                            "--save-channel",   "--port-map",
                                            "--through-pair",   "--fext",
                                            "--next",           "--batch",
                                            "--corners",        "--jobs"};
    for (const char* w : withValue)
        if (opt == w)
            return true;
    return false;
}

// Shell quoting for the plot command.
std::string quotePath(const std::string& path)
{
#if defined(_WIN32)
    return "\"" + path + "\"";
#else
    std::string q = "'";
    for (char c : path)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
#endif
}

}  // namespace

std::string AmiHost::usage()
{
    return "Usage: ami-host [options] [NAME=VALUE ...]\n"
           "Calls an Init-only IBIS-AMI model library as a channel simulator does and reports\n"
           "what it did: AMI_Init's return value and message, and the peak-distortion eye of\n"
           "the pulse response before and after the model.\n"
           "\n"
           "Model:\n"
           "  --model FILE            model library (default: the built model next to this program)\n"
           "  --ami FILE              its .ami parameter file (default: the project's)\n"
           "  NAME=VALUE              override the .ami default of a Model_Specific parameter\n"
           "\n"
           "Channel (impulse samples in V/s as simulators pass them; times in seconds):\n"
           "  --channel FILE          impulse file: one column of samples, or a time column and\n"
           "                          one or more impulse columns (the second and later are crosstalk);\n"
           "                          default: the embedded lossy stripline\n"
           "  --sample-interval S     sample interval of a one-column file, in seconds\n"
           "  --per-sample            the file's samples are gain per sample, not V/s\n"
           "  --bit-rate GBPS         bit rate in Gb/s (default 12.8)\n"
           "  --samples-per-bit N     samples per bit of the embedded channel and of Touchstone files (default 32)\n"
           "  --length M              length of the embedded channel in metres (default 0.3)\n"
           "  --aggressors N          add N crosstalk columns: the through channel at -20 dB, -26 dB, ...\n"
           "                          (1/(10 k)), delayed by 0.37 k bits\n"
           "  --aggressor-file FILE   add the impulse columns of FILE as crosstalk (repeatable)\n"
           "\n"
           "Touchstone channels (--channel FILE.sNp or FILE.ts, version 1.x or 2.0; sampled at\n"
           "--bit-rate with --samples-per-bit, default 32):\n"
           "  --port-map 13_24|12_34  4 and more ports: line k runs from port k to k+N/2 (13_24, the\n"
           "                          default: 1->3, 2->4) or from port 2k-1 to 2k (12_34: 1->2, 3->4)\n"
           "  --through-pair M        differential pair of the through channel (default 1; pair m is\n"
           "                          lines 2m-1 and 2m)\n"
           "  --fext LIST             add the far-end crosstalk of these pairs (e.g. 2,3) as columns\n"
           "  --next LIST             add the near-end crosstalk of these pairs as columns\n"
           "\n"
           "Output:\n"
           "  --out DIR               write impulse.csv, pulse.csv, eye.csv, message.txt,\n"
           "                          parameters.txt and summary.txt (sweep.csv with --sweep) to DIR\n"
           "  --plot                  also render pulse.png and eye.png into DIR (needs gnuplot)\n"
           "  --save-channel FILE     write the channel handed to the model (time, columns) as CSV\n"
           "  --sweep                 run every CornerCase x PreEmphasis and tabulate the eyes,\n"
           "                          marking the state AutoInit picks for each corner\n"
           "\n"
           "Many channels:\n"
           "  --batch LIST|DIR        run every channel file of DIR (or listed in LIST, one per line)\n"
           "                          with every chosen corner on worker threads; writes batch.csv and\n"
           "                          batch.gp to --out DIR (default: .), and batch.png with --plot\n"
           "  --corners LIST|all      corners of a batch (default: the CornerCase in effect)\n"
           "  --jobs N                worker threads of a batch (default: one per core)\n"
           "  --help                  this text\n"
           "\n"
           "Exit status: 0 when AMI_Init returned 1, 1 when it returned 0, 2 for bad input.\n";
}

bool AmiHost::parseArguments(const std::vector<std::string>& args, HostOptions& o, std::string& error)
{
    for (size_t i = 0; i < args.size(); ++i) {
        std::string a = args[i];
        std::string value;
        if (a.rfind("--", 0) == 0) {
            const size_t eq = a.find('=');
            if (eq != std::string::npos) {
                value = a.substr(eq + 1);
                a = a.substr(0, eq);
                if (!takesValue(a)) {
                    error = "option " + a + " takes no value";
                    return false;
                }
            } else if (takesValue(a)) {
                if (i + 1 >= args.size()) {
                    error = "option " + a + " needs a value";
                    return false;
                }
                value = args[++i];
            }
        }
        auto number = [&](double& target, double lo, double hi, const char* what) {
            double v;
            if (!NumberText::parseDouble(value, v)) {
                error = "malformed number '" + value + "' for " + a;
                return false;
            }
            if (!(v >= lo && v <= hi)) {
                error = std::string(what) + " must be in [" + NumberText::format(lo) + ", " +
                        NumberText::format(hi) + "], got " + value;
                return false;
            }
            target = v;
            return true;
        };
        auto integer = [&](int& target, long lo, long hi, const char* what) {
            long v;
            if (!NumberText::parseLong(value, v)) {
                error = "malformed integer '" + value + "' for " + a;
                return false;
            }
            if (v < lo || v > hi) {
                error = std::string(what) + " must be in [" + std::to_string(lo) + ", " + std::to_string(hi) +
                        "], got " + value;
                return false;
            }
            target = static_cast<int>(v);
            return true;
        };
        if (a == "--help" || a == "-h") {
            o.Help = true;
        } else if (a == "--model") {
            o.ModelPath = value;
        } else if (a == "--ami") {
            o.AmiPath = value;
        } else if (a == "--channel") {
            o.ChannelPath = value;
        } else if (a == "--sample-interval") {
            if (!number(o.SampleInterval, 1e-18, 1.0, "--sample-interval"))
                return false;
            if (!(o.SampleInterval > 0.0)) {
                error = "--sample-interval must be > 0";
                return false;
            }
        } else if (a == "--per-sample") {
            o.PerSample = true;
        } else if (a == "--bit-rate") {
            double g = 0.0;
            if (!number(g, 0.001, 1000.0, "--bit-rate (Gb/s)"))
                return false;
            o.BitRate = g * 1e9;
        } else if (a == "--samples-per-bit") {
            if (!integer(o.SamplesPerBit, 4, 1024, "--samples-per-bit"))
                return false;
        } else if (a == "--length") {
            if (!number(o.LengthMetres, 0.001, 10.0, "--length (m)"))
                return false;
        } else if (a == "--aggressors") {
            if (!integer(o.SyntheticAggressors, 0, 64, "--aggressors"))
                return false;
        } else if (a == "--aggressor-file") {
            o.AggressorFiles.push_back(value);
        } else if (a == "--out") {
            o.OutDir = value;
        } else if (a == "--plot") {
            o.Plot = true;
        } else if (a == "--sweep") {
            o.Sweep = true;
        } else if (a == "--save-channel") {
            o.SaveChannelPath = value;
        } else if (a == "--batch") {
            o.Batch = value;
        } else if (a == "--corners") {
            o.Corners = value;
        } else if (a == "--jobs") {
            if (!integer(o.Jobs, 1, 1024, "--jobs"))
                return false;
        } else if (a == "--port-map") {
            if (value != "13_24" && value != "12_34") {
                error = "--port-map must be 13_24 or 12_34, got '" + value + "'";
                return false;
            }
            o.PortMap = value;
        } else if (a == "--through-pair") {
            if (!integer(o.ThroughPair, 1, TouchstoneFile::kMaxPorts / 4, "--through-pair"))
                return false;
        } else if (a == "--fext" || a == "--next") {
            std::vector<int>& pairs = a == "--fext" ? o.FextPairs : o.NextPairs;
            std::string item;
            std::istringstream list(value);
            while (std::getline(list, item, ',')) {
                long v = 0;
                if (!NumberText::parseLong(item, v) || v < 1 || v > TouchstoneFile::kMaxPorts / 4) {
                    error = a + " takes a comma-separated list of pair numbers, got '" + value + "'";
                    return false;
                }
                if (std::find(pairs.begin(), pairs.end(), static_cast<int>(v)) == pairs.end())
                    pairs.push_back(static_cast<int>(v));
            }
            if (pairs.empty()) {
                error = a + " takes a comma-separated list of pair numbers, got '" + value + "'";
                return false;
            }
        } else if (a.rfind("-", 0) == 0) {
            error = "unknown option '" + a + "' (see --help)";
            return false;
        } else {
            const size_t eq = a.find('=');
            if (eq == std::string::npos || eq == 0) {
                error = "unexpected argument '" + a + "' (model parameters are given as NAME=VALUE)";
                return false;
            }
            o.Overrides.emplace_back(a.substr(0, eq), a.substr(eq + 1));
        }
        if ((a == "--model" || a == "--ami" || a == "--channel" || a == "--aggressor-file" || a == "--out" ||
             a == "--save-channel") &&
            value.empty()) {
            error = "option " + a + " needs a non-empty value";
            return false;
        }
    }
    if (!o.Batch.empty()) {
        // A batch names its channels itself.
        const char* conflict = !o.ChannelPath.empty()       ? "--channel"
                               : o.Sweep                    ? "--sweep"
                               : !o.SaveChannelPath.empty() ? "--save-channel"
                                                            : nullptr;
        if (conflict != nullptr) {
            error = std::string("--batch runs its own channels; ") + conflict + " does not go with it";
            return false;
        }
        if (o.OutDir.empty())
            o.OutDir = ".";
    } else if (!o.Corners.empty() || o.Jobs != 0) {
        error = std::string(o.Jobs != 0 ? "--jobs" : "--corners") + " applies to --batch runs only";
        return false;
    }
    if (o.Plot && o.OutDir.empty()) {
        error = "--plot needs --out DIR";
        return false;
    }
    const bool touchstone =
        !o.Batch.empty() || (!o.ChannelPath.empty() && TouchstoneFile::isTouchstonePath(o.ChannelPath));
    if (!touchstone &&
        (!o.PortMap.empty() || o.ThroughPair != 0 || !o.FextPairs.empty() || !o.NextPairs.empty())) {
        error = "--port-map, --through-pair, --fext and --next apply to Touchstone channel files only";
        return false;
    }
    if (!o.ChannelPath.empty() || !o.Batch.empty()) {
        // Silently ignoring them would leave the user believing they applied.
        // A Touchstone file is sampled like the embedded channel.
        for (const std::string& s : args)
            for (const char* opt : {touchstone ? "--length" : "--samples-per-bit", "--length"})
                if (s.rfind(opt, 0) == 0) {
                    error =
                        std::string(opt) + " applies to the embedded channel only, not to --channel files";
                    return false;
                }
    }
    return true;
}

std::vector<double> AmiHost::syntheticAggressor(const std::vector<double>& through, int k, int samplesPerBit)
{
    // Plain arithmetic only (no library functions), so that every platform
    // builds the same samples from the same through channel.
    const double gain = 1.0 / (10.0 * k);
    const double delay = 0.37 * k * samplesPerBit;  // in samples
    const long whole = static_cast<long>(delay);
    const double frac = delay - static_cast<double>(whole);
    std::vector<double> a(through.size(), 0.0);
    for (size_t i = 0; i < a.size(); ++i) {
        const long j = static_cast<long>(i) - whole;  // y[i] = x(i - delay), linear interpolation
        const double x0 =
            j >= 0 && j < static_cast<long>(through.size()) ? through[static_cast<size_t>(j)] : 0.0;
        const double x1 = j - 1 >= 0 && j - 1 < static_cast<long>(through.size())
                              ? through[static_cast<size_t>(j - 1)]
                              : 0.0;
        a[i] = gain * ((1.0 - frac) * x0 + frac * x1);
    }
    return a;
}

bool AmiHost::buildChannel(const HostOptions& o, HostChannel& ch, std::string& error)
{
    ch = HostChannel();
    ch.BitTime = 1.0 / o.BitRate;
    if (o.ChannelPath.empty()) {
        if (o.SampleInterval > 0.0 || o.PerSample) {
            error = std::string(o.PerSample ? "--per-sample" : "--sample-interval") +
                    " applies to --channel files only";
            return false;
        }
        LossyChannel lc;
        lc.LengthMetres = o.LengthMetres;
        lc.BitRate = o.BitRate;
        lc.SamplesPerBit = o.SamplesPerBit;
        std::vector<double> h;
        if (!lc.Build(h, ch.SampleInterval, error))
            return false;
        ch.Columns.push_back(h);
        ch.Description = lc.describe();
    } else if (TouchstoneFile::isTouchstonePath(o.ChannelPath)) {
        if (o.SampleInterval > 0.0 || o.PerSample) {
            error =
                std::string(o.PerSample ? "--per-sample" : "--sample-interval") +
                " applies to impulse files; a Touchstone file is sampled at --bit-rate and --samples-per-bit";
            return false;
        }
        TouchstoneNetwork net;
        if (!TouchstoneFile::Read(o.ChannelPath, net, error))
            return false;
        SParameterChannel sp;
        if (!o.PortMap.empty())
            sp.PortMap = o.PortMap;
        if (o.ThroughPair != 0)
            sp.ThroughPair = o.ThroughPair;
        sp.FextPairs = o.FextPairs;
        sp.NextPairs = o.NextPairs;
        ch.SampleInterval = ch.BitTime / o.SamplesPerBit;
        std::vector<std::string> summary;
        if (!sp.Build(net, o.ChannelPath, ch.SampleInterval, ch.Columns, summary, error))
            return false;
        ch.Description =
            "Touchstone file " + o.ChannelPath + " (" + std::to_string(ch.Columns[0].size()) + " samples" +
            (ch.Columns.size() > 1 ? ", " + std::to_string(ch.Columns.size() - 1) + " crosstalk columns"
                                   : std::string()) +
            ")";
        for (const std::string& line : summary)
            ch.Description += "\n  " + line;
    } else {
        ChannelData d;
        if (!ChannelFile::Read(o.ChannelPath, d, error))
            return false;
        if (d.HasTime) {
            if (o.SampleInterval > 0.0) {
                error = "--sample-interval applies to one-column files; '" + o.ChannelPath +
                        "' has a time column";
                return false;
            }
            ch.SampleInterval = d.SampleInterval;
            ch.StartTime = d.StartTime;
        } else {
            if (!(o.SampleInterval > 0.0)) {
                error = "channel file '" + o.ChannelPath + "' has one column: give --sample-interval";
                return false;
            }
            ch.SampleInterval = o.SampleInterval;
        }
        ch.Columns = d.Columns;
        ch.Description =
            "channel file " + o.ChannelPath + " (" + std::to_string(ch.Columns[0].size()) + " samples" +
            (ch.Columns.size() > 1 ? ", " + std::to_string(ch.Columns.size() - 1) + " crosstalk columns"
                                   : std::string()) +
            ")";
    }
    const size_t rows = ch.Columns[0].size();
    for (const std::string& path : o.AggressorFiles) {
        if (TouchstoneFile::isTouchstonePath(path)) {
            error =
                "--aggressor-file takes impulse files; crosstalk from a Touchstone file comes with --fext "
                "and --next";
            return false;
        }
        ChannelData d;
        if (!ChannelFile::Read(path, d, error))
            return false;
        if (d.HasTime && std::fabs(d.SampleInterval - ch.SampleInterval) > 1e-6 * ch.SampleInterval) {
            error = "aggressor file '" + path + "' has sample interval " +
                    NumberText::format(d.SampleInterval) + " s, the channel " +
                    NumberText::format(ch.SampleInterval) + " s";
            return false;
        }
        for (std::vector<double>& c : d.Columns) {
            c.resize(rows, 0.0);  // crosstalk columns share the through channel's length
            ch.Columns.push_back(c);
        }
    }
    if (o.PerSample)
        for (std::vector<double>& c : ch.Columns)
            for (double& v : c)
                v /= ch.SampleInterval;
    const double ratio = ch.BitTime / ch.SampleInterval;
    const long spb = std::lround(ratio);
    if (!(spb >= 2 && spb <= 100000) || std::fabs(ratio - static_cast<double>(spb)) > 1e-3) {
        error = "bit time / sample interval is " + NumberText::format(ratio) +
                "; the eye analysis needs a whole number of samples per bit (>= 2): check --bit-rate";
        return false;
    }
    ch.SamplesPerBit = static_cast<int>(spb);
    for (int k = 1; k <= o.SyntheticAggressors; ++k)
        ch.Columns.push_back(syntheticAggressor(ch.Columns[0], k, ch.SamplesPerBit));
    return true;
}

HostEye AmiHost::measure(const std::vector<std::vector<double>>& columns, const HostChannel& ch)
{
    HostEye e;
    PulseEye pe;
    pe.SamplesPerBit = ch.SamplesPerBit;
    pe.SampleInterval = ch.SampleInterval;
    e.Pulse = pe.pulse(columns[0]);
    e.Metrics = pe.analyse(e.Pulse);
    for (size_t c = 1; c < columns.size(); ++c)
        e.CrosstalkWorst.push_back(pe.worstCrosstalk(pe.pulse(columns[c])));
    return e;
}

long AmiHost::chosenState(const std::string& message)
{
    const std::string key = "PreEmphasis state = ";
    const size_t at = message.rfind(key);
    if (at == std::string::npos)
        return -1;
    size_t i = at + key.size();
    size_t end = i;
    if (end < message.size() && message[end] == '-')
        ++end;
    while (end < message.size() && message[end] >= '0' && message[end] <= '9')
        ++end;
    long v = -1;
    return NumberText::parseLong(message.substr(i, end - i), v) ? v : -1;
}

int AmiHost::Main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    std::string error;
    int status = 2;
    try {
        HostOptions o;
        if (!parseArguments(args, o, error)) {
            err << kProgram << ": error: " << error << "\n";
            return 2;
        }
        if (o.Help) {
            out << usage();
            return 0;
        }
        if (o.ModelPath.empty())
            o.ModelPath = DefaultModelPath;
        if (o.AmiPath.empty())
            o.AmiPath = DefaultAmiPath;
        AmiParameterFile ami;
        std::string parameters;
        std::vector<std::string> notes;
        HostChannel ch;
        AmiModelLibrary lib;
        if (!o.Batch.empty()) {
            if (ami.Load(o.AmiPath, error) &&
                ami.BuildParameterString(o.Overrides, parameters, error, &notes) &&
                lib.Load(o.ModelPath, error)) {
                for (const std::string& n : notes)
                    err << kProgram << ": note: " << n << "\n";
                status = runBatch(o, ami, lib, out, err, error);
            }
        } else if (ami.Load(o.AmiPath, error) &&
                   ami.BuildParameterString(o.Overrides, parameters, error, &notes) &&
                   buildChannel(o, ch, error) && lib.Load(o.ModelPath, error)) {
            for (const std::string& n : notes)
                err << kProgram << ": note: " << n << "\n";
            // The output directory must be usable before the model runs.
            std::string dirError;
            if (!o.OutDir.empty() && !makeOutputDir(o.OutDir, dirError)) {
                err << kProgram << ": error: " << dirError << "\n";
                return 2;
            }
            if (!o.SaveChannelPath.empty()) {
                std::vector<std::vector<double>> cols;
                std::vector<std::string> header = {"time_s", "through_Vps"};
                std::vector<double> t(ch.Columns[0].size());
                for (size_t i = 0; i < t.size(); ++i)
                    t[i] = ch.StartTime + static_cast<double>(i) * ch.SampleInterval;
                cols.push_back(t);
                for (size_t c = 0; c < ch.Columns.size(); ++c) {
                    cols.push_back(ch.Columns[c]);
                    if (c > 0)
                        header.push_back("aggressor" + std::to_string(c) + "_Vps");
                }
                if (!ChannelFile::WriteCsv(o.SaveChannelPath, header, cols, error)) {
                    err << kProgram << ": error: " << error << "\n";
                    return 2;
                }
            }
            status = o.Sweep ? runSweep(o, ami, lib, ch, out, error)
                             : runOnce(o, ami, parameters, lib, ch, out, error);
        }
    } catch (const std::bad_alloc&) {
        error = "out of memory";
        status = 2;
    } catch (const std::exception& e) {
        error = e.what();
        status = 2;
    }
    if (!error.empty()) {
        err << kProgram << ": error: " << error << "\n";
        return 2;
    }
    return status;
}

HostRunResult AmiHost::callModel(const AmiModelLibrary& lib, const HostChannel& ch,
                                 const std::string& parameters)
{
    HostRunResult run;
    const size_t rows = ch.Columns[0].size();
    const long aggressors = static_cast<long>(ch.Columns.size()) - 1;
    std::vector<double> matrix = flatten(ch.Columns);
    run.Call =
        lib.Call(matrix, static_cast<long>(rows), aggressors, ch.SampleInterval, ch.BitTime, parameters);
    run.Output = unflatten(matrix, ch.Columns.size(), rows);
    run.Before = measure(ch.Columns, ch);
    run.After = measure(run.Output, ch);
    return run;
}

int AmiHost::runBatch(const HostOptions& o, const AmiParameterFile& ami, const AmiModelLibrary& lib,
                      std::ostream& out, std::ostream& err, std::string& error) const
{
    std::vector<std::string> files;
    if (!BatchRunner::listFiles(o.Batch, files, error))
        return 2;
    // The corners: every value the .ami file allows, a list, or the one in
    // effect (the last override, else the default).
    std::vector<std::string> corners;
    const AmiParameter* corner = ami.find("CornerCase");
    if (o.Corners == "all") {
        corners = corner != nullptr ? AmiParameterFile::choices(*corner) : std::vector<std::string>();
        if (corners.empty()) {
            error = "--corners all needs an integer CornerCase with a List or Range in " + o.AmiPath;
            return 2;
        }
    } else if (!o.Corners.empty()) {
        if (corner == nullptr || !corner->Sent) {
            error = "--corners: " + o.AmiPath + " has no CornerCase input parameter";
            return 2;
        }
        std::istringstream list(o.Corners);
        std::string c;
        while (std::getline(list, c, ','))
            if (!AmiParameterFile::validValue(*corner, c)) {
                error = "--corners takes 'all' or a comma-separated list of CornerCase values, got '" +
                        o.Corners + "'";
                return 2;
            } else if (std::find(corners.begin(), corners.end(), c) == corners.end()) {
                corners.push_back(c);
            }
        if (corners.empty()) {
            error = "--corners takes 'all' or a comma-separated list of CornerCase values, got '" +
                    o.Corners + "'";
            return 2;
        }
    } else if (corner != nullptr && corner->Sent) {
        corners.push_back(effectiveValue(ami, o.Overrides, "CornerCase"));
    }
    if (!makeOutputDir(o.OutDir, error))
        return 2;
    namespace fs = std::filesystem;
    // Overrides of CornerCase give way to the batch's corners.
    HostOptions base = o;
    if (!corners.empty()) {
        base.Overrides.clear();
        for (const std::pair<std::string, std::string>& ov : o.Overrides)
            if (ami.find(ov.first) != corner)
                base.Overrides.push_back(ov);
    }
    BatchRunner runner;
    runner.Jobs = o.Jobs;
    runner.Progress = ProgressOnTerminal ? &err : nullptr;
    const std::vector<BatchRow> rows = runner.Run(base, ami, lib, files, corners);
    out << "Model: " << o.ModelPath << " (" << o.AmiPath << ")\n";
    out << "Batch: " << files.size() << " channel files x " << std::max<size_t>(1, corners.size())
        << " corners\n";
    out << BatchRunner::report(rows);
    const std::string csv = (fs::path(o.OutDir) / "batch.csv").string();
    if (!BatchRunner::WriteCsv(csv, rows, error))
        return 2;
    out << "Results: " << csv << "\n";
    // The plot script is always written; gnuplot renders it with --plot,
    // as for single runs.
    if (!plotBatch(o.OutDir, o.Plot, error))
        return 2;
    if (o.Plot)
        out << "Plot: " << (fs::path(o.OutDir) / "batch.png").string() << "\n";
    bool allOk = true;
    for (const BatchRow& r : rows)
        allOk = allOk && r.InputOk && r.InitReturn == 1;
    return allOk ? 0 : 1;
}

bool AmiHost::plotBatch(const std::string& dir, bool render, std::string& error)
{
    // One point per row of batch.csv: eye height and width before and after
    // the model. Failed rows have empty fields, which gnuplot skips.
    const std::string script =
        "# Written by ami-host; run with: gnuplot batch.gp\n"
        "set terminal pngcairo size 1100,550 font ',11'\n"
        "set datafile separator ','\n"
        "set datafile columnheaders\n"
        "set grid\n"
        "set output 'batch.png'\n"
        "set multiplot layout 1,2 title 'Eye of every batch run (peak distortion, 1 V NRZ)'\n"
        "set xlabel 'run (row of batch.csv)'\n"
        "set key below\n"
        "set ylabel 'eye height [mV]'\n"
        "plot 'batch.csv' using ($0+1):($5*1e3) with points pt 6 lc rgb '#1f77b4' title 'before the model', \\\n"
        "     '' using ($0+1):($7*1e3) with points pt 7 lc rgb '#d62728' title 'after the model'\n"
        "set ylabel 'eye width [UI]'\n"
        "plot 'batch.csv' using ($0+1):6 with points pt 6 lc rgb '#1f77b4' title 'before the model', \\\n"
        "     '' using ($0+1):8 with points pt 7 lc rgb '#d62728' title 'after the model'\n"
        "unset multiplot\n";
    if (render)
        return runGnuplot(dir, "batch.gp", script, error);
    const std::string path = (std::filesystem::path(dir) / "batch.gp").string();
    std::ofstream f(path, std::ios::binary);
    f << script;
    f.close();
    if (!f) {
        error = "cannot write '" + path + "'";
        return false;
    }
    return true;
}

int AmiHost::runOnce(const HostOptions& o, const AmiParameterFile& ami, const std::string& parameters,
                     const AmiModelLibrary& lib, const HostChannel& ch, std::ostream& out, std::string& error)
{
    const size_t rows = ch.Columns[0].size();
    const long aggressors = static_cast<long>(ch.Columns.size()) - 1;
    const HostRunResult run = callModel(lib, ch, parameters);
    const AmiCallResult& r = run.Call;
    const std::vector<std::vector<double>>& after = run.Output;
    const HostEye& eb = run.Before;
    const HostEye& ea = run.After;

    std::ostringstream rep;
    rep << "Model: " << o.ModelPath << " (" << o.AmiPath << ")\n";
    rep << "Channel: " << ch.Description << "\n";
    rep << "Matrix: " << rows << " rows x " << ch.Columns.size() << " columns (" << aggressors
        << " aggressors), sample interval " << NumberText::format(ch.SampleInterval * 1e12)
        << " ps, bit time " << NumberText::format(ch.BitTime * 1e12) << " ps (" << ch.SamplesPerBit
        << " samples/bit)\n";
    rep << "Parameters: " << parameters << "\n";
    rep << "AMI_Init returned " << r.InitReturn << "\n";
    if (r.MessageNull) {
        rep << "Message: (none: msg left null)\n";
    } else {
        rep << "Message:\n";
        std::istringstream lines(r.Message);
        std::string line;
        while (std::getline(lines, line))
            rep << "  " << line << "\n";
    }
    if (r.ParametersOutSet)
        rep << "AMI_parameters_out: " << r.ParametersOut << "\n";
    if (r.Closed)
        rep << "AMI_Close returned " << r.CloseReturn << "\n";
    else
        rep << "AMI_Close not called: the model returned a null memory handle\n";
    const long state = chosenState(r.Message);
    if (state >= 0) {
        const std::string autoInit = effectiveValue(ami, o.Overrides, "AutoInit");
        long ai = 0;
        const bool automatic = NumberText::parseLong(autoInit, ai) && ai != 0;
        rep << "PreEmphasis state: " << state << (automatic ? " (chosen by AutoInit)" : " (selected)")
            << "\n";
    }
    rep << "\nEye of the through channel (pulse response of one bit of a 1 V NRZ signal,\n"
           "peak distortion, best phase):\n";
    const size_t w = 34;
    rep << padRight("", w) << padLeft("before", 10) << padLeft("after", 10) << "\n";
    auto row = [&](const std::string& label, const std::string& b, const std::string& a) {
        rep << padRight("  " + label, w) << padLeft(b, 10) << padLeft(a, 10) << "\n";
    };
    auto metric = [](const HostEye& e, int which) -> std::string {
        const EyeMetrics& m = e.Metrics;
        if (!m.Valid)
            return "n/a";
        switch (which) {
        case 0:
            return mV(m.PulsePeak);
        case 1:
            return mV(m.MainCursor);
        case 2:
            return mV(m.EyeHeight);
        case 3:
            return NumberText::fixed(m.EyeWidthUI, 3);
        default:
            return NumberText::fixed(m.BestPhaseUI, 3);
        }
    };
    row("pulse peak [mV]", metric(eb, 0), metric(ea, 0));
    row("main cursor [mV]", metric(eb, 1), metric(ea, 1));
    row("eye height [mV]", metric(eb, 2), metric(ea, 2));
    row("eye width [UI]", metric(eb, 3), metric(ea, 3));
    row("best phase from pulse peak [UI]", metric(eb, 4), metric(ea, 4));
    if (aggressors > 0) {
        double xb = 0.0, xa = 0.0;
        for (size_t k = 0; k < eb.CrosstalkWorst.size(); ++k) {
            xb += eb.CrosstalkWorst[k];
            xa += ea.CrosstalkWorst[k];
            row("crosstalk " + std::to_string(k + 1) + " worst case [mV]", mV(eb.CrosstalkWorst[k]),
                mV(ea.CrosstalkWorst[k]));
        }
        row("eye height with crosstalk [mV]", eb.Metrics.Valid ? mV(eb.Metrics.EyeHeight - xb) : "n/a",
            ea.Metrics.Valid ? mV(ea.Metrics.EyeHeight - xa) : "n/a");
    }
    auto verdict = [](const HostEye& e) {
        return !e.Metrics.Valid ? std::string("no signal") : e.Metrics.EyeHeight > 0.0 ? "open" : "closed";
    };
    row("eye", verdict(eb), verdict(ea));
    if (r.InitReturn != 1)
        rep << "The model reported a failure; the 'after' column is the matrix as it came back.\n";
    const std::string report = rep.str();
    out << report;
    out.flush();

    if (!o.OutDir.empty()) {
        if (!writeOutputs(o, ch, after, eb, ea, r, parameters, report, error))
            return 2;
        if (o.Plot) {
            if (!plot(o.OutDir, ch, eb, ea, error))
                return 2;
            out << "Plots: " << (std::filesystem::path(o.OutDir) / "pulse.png").string() << ", "
                << (std::filesystem::path(o.OutDir) / "eye.png").string() << "\n";
        }
    }
    return r.InitReturn == 1 ? 0 : 1;
}

bool AmiHost::writeOutputs(const HostOptions& o, const HostChannel& ch,
                           const std::vector<std::vector<double>>& after, const HostEye& before,
                           const HostEye& eyeAfter, const AmiCallResult& r, const std::string& parameters,
                           const std::string& report, std::string& error)
{
    namespace fs = std::filesystem;
    if (!makeOutputDir(o.OutDir, error))
        return false;
    const fs::path dir(o.OutDir);
    const size_t rows = ch.Columns[0].size();
    // impulse.csv: time, then input and output of every column.
    std::vector<std::vector<double>> cols;
    std::vector<std::string> header = {"time_s"};
    std::vector<double> t(rows);
    for (size_t i = 0; i < rows; ++i)
        t[i] = ch.StartTime + static_cast<double>(i) * ch.SampleInterval;
    cols.push_back(t);
    for (size_t c = 0; c < ch.Columns.size(); ++c) {
        const std::string name = c == 0 ? "through" : "aggressor" + std::to_string(c);
        header.push_back(name + "_in_Vps");
        header.push_back(name + "_out_Vps");
        cols.push_back(ch.Columns[c]);
        cols.push_back(after[c]);
    }
    if (!ChannelFile::WriteCsv((dir / "impulse.csv").string(), header, cols, error))
        return false;
    // pulse.csv: the through channel's pulse responses.
    std::vector<double> tp(before.Pulse.size());
    for (size_t i = 0; i < tp.size(); ++i)
        tp[i] = ch.StartTime + static_cast<double>(i) * ch.SampleInterval;
    if (!ChannelFile::WriteCsv((dir / "pulse.csv").string(), {"time_s", "before_V", "after_V"},
                               {tp, before.Pulse, eyeAfter.Pulse}, error))
        return false;
    // eye.csv: peak-distortion contours over +-1 UI around each best phase.
    PulseEye pe;
    pe.SamplesPerBit = ch.SamplesPerBit;
    pe.SampleInterval = ch.SampleInterval;
    std::vector<std::vector<double>> eye(1);
    std::vector<std::string> eyeHeader = {"phase_UI"};
    for (long d = -ch.SamplesPerBit; d <= ch.SamplesPerBit; ++d)
        eye[0].push_back(static_cast<double>(d) / ch.SamplesPerBit);
    const HostEye* eyes[2] = {&before, &eyeAfter};
    const char* names[2] = {"before", "after"};
    for (int k = 0; k < 2; ++k) {
        // Empty columns for a pulse without signal.
        std::vector<std::vector<double>> c(6);
        for (const EyeContourRow& row : pe.contours(eyes[k]->Pulse, eyes[k]->Metrics)) {
            c[0].push_back(row.WorstOne);
            c[1].push_back(row.WorstZero);
            c[2].push_back(row.EnvelopeTop);
            c[3].push_back(row.EnvelopeBottom);
            // The opening, collapsed to its middle where the eye is shut.
            const bool open = row.WorstOne > row.WorstZero;
            const double mid = 0.5 * (row.WorstOne + row.WorstZero);
            c[4].push_back(open ? row.WorstZero : mid);
            c[5].push_back(open ? row.WorstOne : mid);
        }
        const std::string n = names[k];
        for (const char* suffix :
             {"_worst_one_V", "_worst_zero_V", "_top_V", "_bottom_V", "_open_low_V", "_open_high_V"})
            eyeHeader.push_back(n + suffix);
        eye.insert(eye.end(), c.begin(), c.end());
    }
    if (!ChannelFile::WriteCsv((dir / "eye.csv").string(), eyeHeader, eye, error))
        return false;
    auto writeText = [&](const char* name, const std::string& text) {
        std::ofstream f(dir / name, std::ios::binary);
        f << text;
        f.close();
        if (!f) {
            error = "cannot write '" + (dir / name).string() + "'";
            return false;
        }
        return true;
    };
    return writeText("message.txt", r.Message) && writeText("parameters.txt", parameters + "\n") &&
           writeText("summary.txt", report);
}

bool AmiHost::runGnuplot(const std::string& dirName, const std::string& scriptName, const std::string& script,
                         std::string& error)
{
    namespace fs = std::filesystem;
#if defined(_WIN32)
    const std::string devNull = "NUL";
#else
    const std::string devNull = "/dev/null";
#endif
    if (std::system(("gnuplot --version > " + devNull + " 2>&1").c_str()) != 0) {
        error = "--plot needs gnuplot (Debian package gnuplot-nox); the CSV files are written";
        return false;
    }
    const fs::path dir(dirName);
    {
        std::ofstream f(dir / scriptName, std::ios::binary);
        f << script;
        f.close();
        if (!f) {
            error = "cannot write '" + (dir / scriptName).string() + "'";
            return false;
        }
    }
#if defined(_WIN32)
    const std::string cmd =
        "cd /d " + quotePath(dirName) + " && gnuplot " + scriptName + " > gnuplot.log 2>&1";
#else
    const std::string cmd = "cd " + quotePath(dirName) + " && gnuplot " + scriptName + " > gnuplot.log 2>&1";
#endif
    if (std::system(cmd.c_str()) != 0) {
        error = "gnuplot failed; see " + (dir / "gnuplot.log").string();
        return false;
    }
    return true;
}

bool AmiHost::plotSweep(const std::string& dirName, const std::vector<std::string>& cornerNames,
                        size_t states, const std::string& stateName, std::string& error)
{
    // sweep.csv holds one block of `states` rows per corner; the filled
    // circles are the states AutoInit picked.
    std::ostringstream gp;
    gp << "# Written by ami-host; run with: gnuplot sweep.gp\n"
          "set terminal pngcairo size 1100,550 font ',11'\n"
          "set datafile separator ','\n"
          "set datafile columnheaders\n"
          "set grid\n"
          "set output 'sweep.png'\n"
          "set multiplot layout 1,2 title 'Eye after the model (peak distortion, 1 V NRZ); filled circles: AutoInit choice'\n"
          "set xlabel '"
       << stateName << "'\nset key below font ',9'\n";
    const char* panels[2][3] = {{"eye height [mV]", "5", "*1e3"}, {"eye width [UI]", "6", ""}};
    for (const auto& panel : panels) {
        gp << "set ylabel '" << panel[0] << "'\nplot ";
        for (size_t c = 0; c < cornerNames.size(); ++c) {
            const size_t first = c * states, last = first + states - 1;
            gp << (c ? ", \\\n     " : "") << "'sweep.csv' every ::" << first << "::" << last << " using 2:($"
               << panel[1] << panel[2] << ") with linespoints lw 2 pt 6 lc " << c + 1 << " title '"
               << cornerNames[c] << "', \\\n"
               << "     '' every ::" << first << "::" << last << " using 2:($7 == 1 ? $" << panel[1]
               << panel[2] << " : 1/0) with points pt 7 ps 2 lc " << c + 1 << " notitle";
        }
        gp << "\n";
    }
    gp << "unset multiplot\n";
    return runGnuplot(dirName, "sweep.gp", gp.str(), error);
}

bool AmiHost::plot(const std::string& dirName, const HostChannel& ch, const HostEye& before,
                   const HostEye& after, std::string& error)
{
    const double ui = ch.BitTime;
    const long spb = ch.SamplesPerBit;
    auto timeOf = [&](long index) {
        return (ch.StartTime + static_cast<double>(index) * ch.SampleInterval) * 1e9;
    };
    long first = before.Metrics.Valid ? before.Metrics.PeakIndex : 0;
    long last = first;
    if (after.Metrics.Valid) {
        first = std::min(first, after.Metrics.PeakIndex);
        last = std::max(last, after.Metrics.PeakIndex);
    }
    const double x0 = timeOf(first) - 3.0 * ui * 1e9;
    const double x1 = timeOf(last) + 12.0 * ui * 1e9;
    std::ostringstream gp;
    gp << "# Written by ami-host; run with: gnuplot plot.gp\n"
          "set terminal pngcairo size 1100,650 font ',11'\n"
          "set datafile separator ','\n"
          "set datafile columnheaders\n"
          "set grid\n"
          "set output 'pulse.png'\n"
          "set title 'Pulse response to one bit of a 1 V NRZ signal (dots: cursors at the best phase)'\n"
          "set xlabel 'time [ns]'\n"
          "set ylabel 'pulse response [mV]'\n"
       << "set xrange [" << NumberText::format(x0) << ":" << NumberText::format(x1) << "]\n"
       << "plot 'pulse.csv' using ($1*1e9):($2*1e3) with lines lw 2 lc rgb '#1f77b4' title 'before the model (channel)', \\\n"
          "     '' using ($1*1e9):($3*1e3) with lines lw 2 lc rgb '#d62728' title 'after the model (Tx + channel)'";
    if (before.Metrics.Valid)
        gp << ", \\\n     '' every " << spb << "::" << (before.Metrics.BestIndex % spb)
           << " using ($1*1e9):($2*1e3) with points pt 7 ps 0.9 lc rgb '#1f77b4' notitle";
    if (after.Metrics.Valid)
        gp << ", \\\n     '' every " << spb << "::" << (after.Metrics.BestIndex % spb)
           << " using ($1*1e9):($3*1e3) with points pt 7 ps 0.9 lc rgb '#d62728' notitle";
    gp << "\nunset xrange\n"
          "set output 'eye.png'\n"
          "set multiplot layout 1,2 title 'Peak-distortion eye (1 V NRZ): worst-case levels around the best phase'\n"
          "set xlabel 'phase [UI]'\n"
          "set ylabel 'level [mV]'\n"
          "set xrange [-1:1]\n"
          "set key below horizontal font ',9'\n";
    const HostEye* eyes[2] = {&before, &after};
    const char* titles[2] = {"Before the model (channel only)", "After the model (Tx + channel)"};
    for (int k = 0; k < 2; ++k) {
        const int base = 2 + 6 * k;  // first column of this eye in eye.csv
        const EyeMetrics& m = eyes[k]->Metrics;
        gp << "set title \"" << titles[k] << "\\n";
        if (m.Valid)
            gp << "eye height " << mV(m.EyeHeight) << " mV, width " << NumberText::fixed(m.EyeWidthUI, 3)
               << " UI";
        else
            gp << "no signal";
        gp << "\"\n";
        if (!m.Valid) {
            gp << "plot 0 notitle\n";
            continue;
        }
        gp << "plot 'eye.csv' using 1:($" << base + 2 << "*1e3):($" << base + 3
           << "*1e3) with filledcurves fc rgb '#c6dbef' title 'all bit patterns', \\\n"
           << "     '' using 1:($" << base + 4 << "*1e3):($" << base + 5
           << "*1e3) with filledcurves fc rgb 'white' title 'eye opening', \\\n"
           << "     '' using 1:($" << base << "*1e3) with lines lw 2 lc rgb '#08519c' title 'worst one', \\\n"
           << "     '' using 1:($" << base + 1
           << "*1e3) with lines lw 2 lc rgb '#a50f15' title 'worst zero'\n";
    }
    gp << "unset multiplot\n";
    return runGnuplot(dirName, "plot.gp", gp.str(), error);
}

int AmiHost::runSweep(const HostOptions& o, const AmiParameterFile& ami, const AmiModelLibrary& lib,
                      const HostChannel& ch, std::ostream& out, std::string& error)
{
    const AmiParameter* corner = ami.find("CornerCase");
    const AmiParameter* state = ami.find("PreEmphasis");
    const AmiParameter* autoInit = ami.find("AutoInit");
    const std::vector<std::string> corners =
        corner ? AmiParameterFile::choices(*corner) : std::vector<std::string>();
    const std::vector<std::string> states =
        state ? AmiParameterFile::choices(*state) : std::vector<std::string>();
    if (corners.empty() || states.empty() || !corner->Sent || !state->Sent) {
        error = "--sweep needs integer input parameters CornerCase and PreEmphasis with a List or Range in " +
                o.AmiPath;
        return 2;
    }
    // The user's other overrides stay; the sweep sets these three itself.
    std::vector<std::pair<std::string, std::string>> base;
    for (const std::pair<std::string, std::string>& ov : o.Overrides) {
        const AmiParameter* p = ami.find(ov.first);
        if (p != corner && p != state && p != autoInit)
            base.push_back(ov);
    }
    const size_t rows = ch.Columns[0].size();
    const long aggressors = static_cast<long>(ch.Columns.size()) - 1;
    const std::vector<double> input = flatten(ch.Columns);
    bool allOk = true;
    struct Cell {
        long ret = 0;
        EyeMetrics m;
    };
    std::vector<std::vector<Cell>> cells(corners.size(), std::vector<Cell>(states.size()));
    std::vector<long> picked(corners.size(), -1);
    std::vector<std::string> pickMessages(corners.size());
    auto call = [&](std::vector<std::pair<std::string, std::string>> ov, AmiCallResult& r,
                    std::vector<std::vector<double>>& after) {
        std::string params;
        if (!ami.BuildParameterString(ov, params, error))
            return false;
        std::vector<double> m = input;
        r = lib.Call(m, static_cast<long>(rows), aggressors, ch.SampleInterval, ch.BitTime, params);
        after = unflatten(m, ch.Columns.size(), rows);
        allOk = allOk && r.InitReturn == 1;
        return true;
    };
    for (size_t c = 0; c < corners.size(); ++c) {
        AmiCallResult r;
        std::vector<std::vector<double>> after;
        if (autoInit != nullptr && autoInit->Sent) {
            std::vector<std::pair<std::string, std::string>> ov = base;
            ov.emplace_back(autoInit->Name, "1");
            ov.emplace_back(corner->Name, corners[c]);
            if (!call(ov, r, after))
                return 2;
            picked[c] = r.InitReturn == 1 ? chosenState(r.Message) : -1;
        }
        for (size_t s = 0; s < states.size(); ++s) {
            std::vector<std::pair<std::string, std::string>> ov = base;
            if (autoInit != nullptr && autoInit->Sent)
                ov.emplace_back(autoInit->Name, "0");
            ov.emplace_back(corner->Name, corners[c]);
            ov.emplace_back(state->Name, states[s]);
            if (!call(ov, r, after))
                return 2;
            cells[c][s].ret = r.InitReturn;
            cells[c][s].m = measure(after, ch).Metrics;
        }
    }
    const HostEye before = measure(ch.Columns, ch);
    std::ostringstream rep;
    rep << "Model: " << o.ModelPath << " (" << o.AmiPath << ")\n";
    rep << "Channel: " << ch.Description << "\n";
    rep << "Before the model: eye height "
        << (before.Metrics.Valid ? mV(before.Metrics.EyeHeight) + " mV, width " +
                                       NumberText::fixed(before.Metrics.EyeWidthUI, 3) + " UI"
                                 : std::string("n/a"))
        << "\n";
    rep << "Eye after the model for every " << corner->Name << " x " << state->Name
        << ": height [mV] / width [UI] at the best phase (peak distortion, 1 V NRZ).\n"
        << "'*' marks the state AutoInit picks; 'fail' means AMI_Init returned 0.\n\n";
    const size_t cw = 16;
    rep << padRight(state->Name, 12);
    for (size_t c = 0; c < corners.size(); ++c) {
        std::string name = corners[c];
        if (c < corner->ListTips.size())
            name += " " + corner->ListTips[c];
        rep << padLeft(name, cw);
    }
    rep << "\n";
    for (size_t s = 0; s < states.size(); ++s) {
        rep << padRight("  " + states[s], 12);
        for (size_t c = 0; c < corners.size(); ++c) {
            const Cell& cell = cells[c][s];
            long sv = -1;
            NumberText::parseLong(states[s], sv);
            std::string text = cell.ret != 1 ? "fail"
                               : !cell.m.Valid
                                   ? "n/a"
                                   : mV(cell.m.EyeHeight) + "/" + NumberText::fixed(cell.m.EyeWidthUI, 2);
            text += picked[c] == sv ? "*" : " ";
            rep << padLeft(text, cw);
        }
        rep << "\n";
    }
    rep << "\n";
    for (size_t c = 0; c < corners.size(); ++c) {
        // The widest and the tallest eye by this tool's measure, for
        // comparison with the model's own choice.
        size_t wide = states.size(), tall = states.size();
        for (size_t s = 0; s < states.size(); ++s) {
            const Cell& x = cells[c][s];
            if (x.ret != 1 || !x.m.Valid)
                continue;
            if (wide == states.size() || x.m.EyeWidthUI > cells[c][wide].m.EyeWidthUI)
                wide = s;
            if (tall == states.size() || x.m.EyeHeight > cells[c][tall].m.EyeHeight)
                tall = s;
        }
        auto name = [&](size_t s) { return s < states.size() ? states[s] : std::string("n/a"); };
        rep << "  " << corner->Name << " " << corners[c]
            << (c < corner->ListTips.size() ? " (" + corner->ListTips[c] + ")" : std::string())
            << ": AutoInit picks " << (picked[c] >= 0 ? std::to_string(picked[c]) : std::string("n/a"))
            << "; widest eye at " << state->Name << " " << name(wide) << ", tallest at " << name(tall)
            << "\n";
    }
    const std::string report = rep.str();
    out << report;
    if (!o.OutDir.empty()) {
        namespace fs = std::filesystem;
        if (!makeOutputDir(o.OutDir, error))
            return 2;
        std::vector<std::vector<double>> cols(7);
        for (size_t c = 0; c < corners.size(); ++c)
            for (size_t s = 0; s < states.size(); ++s) {
                double cv = 0, sv = 0;
                NumberText::parseDouble(corners[c], cv);
                NumberText::parseDouble(states[s], sv);
                const Cell& cell = cells[c][s];
                cols[0].push_back(cv);
                cols[1].push_back(sv);
                cols[2].push_back(static_cast<double>(cell.ret));
                cols[3].push_back(cell.m.MainCursor);
                cols[4].push_back(cell.m.EyeHeight);
                cols[5].push_back(cell.m.EyeWidthUI);
                cols[6].push_back(picked[c] == static_cast<long>(sv) ? 1.0 : 0.0);
            }
        if (!ChannelFile::WriteCsv((fs::path(o.OutDir) / "sweep.csv").string(),
                                   {corner->Name, state->Name, "ami_init_return", "main_cursor_V",
                                    "eye_height_V", "eye_width_UI", "autoinit_pick"},
                                   cols, error))
            return 2;
        std::ofstream f(fs::path(o.OutDir) / "summary.txt", std::ios::binary);
        f << report;
        f.close();
        if (o.Plot) {
            std::vector<std::string> names;
            for (size_t c = 0; c < corners.size(); ++c)
                names.push_back(corner->Name + " " + corners[c] +
                                (c < corner->ListTips.size() ? " " + corner->ListTips[c] : std::string()));
            if (!plotSweep(o.OutDir, names, states.size(), state->Name, error))
                return 2;
            out << "Plot: " << (fs::path(o.OutDir) / "sweep.png").string() << "\n";
        }
    }
    return allOk ? 0 : 1;
}

}  // namespace amihost
