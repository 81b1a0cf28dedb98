// ami-host --batch against one-by-one runs of the same 50 channels, through
// the host exactly as a user calls it (AmiHost::Main, which loads the model
// library and its .ami file), measured in the same process on the same
// machine load. The last line is the ratio: one-by-one time / batch time.
//
// The channels: 40 impulse files of the embedded stripline from 0.10 to
// 0.49 m and 10 Touchstone 2-port files of the stripline from 0.15 to 0.60 m
// (50 MHz to 50 GHz), each run with AutoInit on (16 trial states per call),
// the host's default. "One by one" runs ami-host --channel FILE for each
// file in turn, in this process (a separate process per file would only add
// its start-up to that side).
//
//   batch_bench [Google Benchmark flags]
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/ami-host/AmiHost.h"
#include "tools/ami-host/ChannelFile.h"
#include "tools/ami-host/LossyChannel.h"

#ifndef VM_SHARED_LIBRARY
#error "VM_SHARED_LIBRARY must name the built model library"
#endif

using namespace amihost;

namespace {

const int kChannels = 50;

struct Channels {
    std::string Dir;
    std::vector<std::string> Files;
    std::string OutDir;

    Channels()
    {
        namespace fs = std::filesystem;
        Dir = (fs::temp_directory_path() / ("batch_bench_" + std::to_string(::getpid()))).string();
        OutDir = Dir + "_out";
        fs::remove_all(Dir);
        fs::create_directories(Dir);
        for (int k = 0; k < kChannels; ++k) {
            char name[64];
            LossyChannel line;
            std::string error;
            if (k < 40) {
                line.LengthMetres = 0.10 + 0.01 * k;
                std::vector<double> h;
                double dt = 0.0;
                line.Build(h, dt, error);
                std::vector<double> t(h.size());
                for (size_t i = 0; i < t.size(); ++i)
                    t[i] = static_cast<double>(i) * dt;
                std::snprintf(name, sizeof name, "/ch%02d.csv", k);
                ChannelFile::WriteCsv(Dir + name, {"time_s", "impulse_Vps"}, {t, h}, error);
            } else {
                line.LengthMetres = 0.15 + 0.05 * (k - 40);
                line.check(error);
                std::ostringstream s;
                s.precision(12);
                s << "# GHz S RI R 50\n";
                for (int f = 1; f <= 1000; ++f) {
                    const std::complex<double> v = line.transfer(f * 50e6);
                    s << f * 0.05 << " 0 0 " << v.real() << " " << v.imag() << " " << v.real() << " "
                      << v.imag() << " 0 0\n";
                }
                std::snprintf(name, sizeof name, "/ch%02d.s2p", k);
                std::FILE* out = std::fopen((Dir + name).c_str(), "wb");
                const std::string text = s.str();
                std::fwrite(text.data(), 1, text.size(), out);
                std::fclose(out);
            }
            Files.push_back(Dir + name);
        }
    }
    ~Channels()
    {
        std::filesystem::remove_all(Dir);
        std::filesystem::remove_all(OutDir);
    }
};

const Channels& channels()
{
    static const Channels c;
    return c;
}

int runHost(const std::vector<std::string>& args)
{
    AmiHost host;
    host.DefaultModelPath = VM_SHARED_LIBRARY;
    host.DefaultAmiPath = VM_SOURCE_DIR "/VELMOR7700X.ami";
    std::ostringstream out, err;
    const int status = host.Main(args, out, err);
    if (status != 0)
        std::fprintf(stderr, "ami-host %s ... failed (%d): %s\n", args[0].c_str(), status, err.str().c_str());
    return status;
}

void BM_OneByOne(benchmark::State& state)
{
    const Channels& c = channels();
    for (auto _ : state)
        for (const std::string& f : c.Files)
            if (runHost({"--channel", f}) != 0)
                state.SkipWithError("a single run failed");
    state.counters["channels"] = kChannels;
}

void BM_Batch(benchmark::State& state)
{
    const Channels& c = channels();
    for (auto _ : state)
        if (runHost({"--batch", c.Dir, "--out", c.OutDir}) != 0)
            state.SkipWithError("the batch failed");
    state.counters["channels"] = kChannels;
    state.counters["threads"] = std::thread::hardware_concurrency();
}

BENCHMARK(BM_OneByOne)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);
BENCHMARK(BM_Batch)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);

// Keeps the median of each benchmark's repetitions for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> Median;
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
                Median[r.run_name.function_name] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    // The two sides' repetitions alternate, so that a change in the machine's
    // load during the run weighs on both alike (another flag value given on
    // the command line comes later and wins).
    std::vector<char*> args(argv, argv + argc);
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    argc = static_cast<int>(args.size());
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const auto one = reporter.Median.find("BM_OneByOne"), batch = reporter.Median.find("BM_Batch");
    if (one != reporter.Median.end() && batch != reporter.Median.end() && batch->second > 0.0)
        std::printf("batch speed-up over one-by-one runs (%d channels, %u cores): %.2f\n", kChannels,
                    std::thread::hardware_concurrency(), one->second / batch->second);
    return 0;
}
