// Cost of one whole AMI_Init call, through the shared library exactly as a
// simulator loads it, as the channel grows: 2^12 ... 2^20 samples at 32
// samples per bit, with the state search off and on, with no aggressor and
// with four.
//
// The channel is a lossy line: a skin-effect-like main pulse a few bits wide
// followed by a slowly decaying, rippling reflection tail that spans the whole
// impulse, so that no sample is zero and nothing shortens the work. The
// aggressors are far-end crosstalk: attenuated, differentiated and delayed
// copies of the through pulse with their own small tails.
//
// Time:    ami_bench [Google Benchmark flags]
// Memory:  ami_bench --peak-rss [--min-log2n=K] [--max-log2n=K]
//          runs every case in a fresh child process and prints the wall time
//          of the call and the child's peak resident set size (wait4's
//          ru_maxrss), input matrix included.
// Either form takes --library=PATH to load another build of the model (for
// before/after comparisons on the same machine load).
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/AmiBenchCommon.h"

using namespace amibench;

namespace {

std::string parameters(int autoInit)
{
    return std::string("(VELMOR7700X (AutoInit ") + std::to_string(autoInit) +
           ")(PreEmphasis 4)(CornerCase 0)(OutputGain 1.0))";
}

// One AMI_Init/AMI_Close pair on a prepared matrix. Returns false with the
// model's message on stderr when the call fails.
bool callModel(std::vector<double>& m, long n, int aggressors, int autoInit)
{
    Library& lib = library();
    std::string params = parameters(autoInit);
    char* out = nullptr;
    void* handle = nullptr;
    char* msg = nullptr;
    const long r =
        lib.init(m.data(), n, aggressors, kSampleInterval, kBitTime, &params[0], &out, &handle, &msg);
    if (r != 1)
        std::fprintf(stderr, "AMI_Init failed:\n%s", msg != nullptr ? msg : "(no message)\n");
    lib.close(handle);
    return r == 1;
}

void BM_AMI_Init(benchmark::State& state)
{
    if (!library().ok()) {
        state.SkipWithError("model library not loadable");
        return;
    }
    const long n = 1L << state.range(0);
    const int autoInit = static_cast<int>(state.range(1));
    const int aggressors = static_cast<int>(state.range(2));
    std::vector<double> input, m;
    fillMatrix(input, n, aggressors);
    for (auto _ : state) {
        state.PauseTiming();
        m = input;  // AMI_Init overwrites the matrix
        state.ResumeTiming();
        if (!callModel(m, n, aggressors, autoInit)) {
            state.SkipWithError("AMI_Init failed");
            return;
        }
    }
    state.counters["samples"] = static_cast<double>(n);
}

void caseArguments(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"log2n", "AutoInit", "aggr"});
    for (int log2n : {12, 14, 16, 18, 20})
        for (int autoInit : {0, 1})
            for (int aggressors : {0, 4})
                b->Args({log2n, autoInit, aggressors});
}

BENCHMARK(BM_AMI_Init)->Apply(caseArguments)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

// --peak-rss: one fresh child per case; the parent reads the child's peak
// resident set size from wait4 and the wall time of the AMI_Init call from a
// pipe.
int peakRssReport(int argc, char** argv)
{
    int minLog2 = 12, maxLog2 = 20;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--min-log2n=", 12) == 0)
            minLog2 = std::atoi(argv[i] + 12);
        if (std::strncmp(argv[i], "--max-log2n=", 12) == 0)
            maxLog2 = std::atoi(argv[i] + 12);
    }
    std::printf("%-6s %-9s %-5s %12s %14s %16s\n", "log2n", "AutoInit", "aggr", "wall [s]", "peak RSS [MiB]",
                "input [MiB]");
    for (int log2n = minLog2; log2n <= maxLog2; log2n += 2) {
        for (int autoInit : {0, 1}) {
            for (int aggressors : {0, 4}) {
                int fd[2];
                if (pipe(fd) != 0)
                    return 1;
                std::fflush(stdout);
                const pid_t pid = fork();
                if (pid < 0)
                    return 1;
                if (pid == 0) {
                    close(fd[0]);
                    const long n = 1L << log2n;
                    std::vector<double> m;
                    fillMatrix(m, n, aggressors);
                    if (!library().ok())
                        _exit(2);
                    const auto t0 = std::chrono::steady_clock::now();
                    const bool ok = callModel(m, n, aggressors, autoInit);
                    const double s =
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
                    if (write(fd[1], &s, sizeof s) != static_cast<ssize_t>(sizeof s))
                        _exit(3);
                    _exit(ok ? 0 : 1);
                }
                close(fd[1]);
                double seconds = -1.0;
                if (read(fd[0], &seconds, sizeof seconds) != static_cast<ssize_t>(sizeof seconds))
                    seconds = -1.0;
                close(fd[0]);
                int status = 0;
                struct rusage ru;
                std::memset(&ru, 0, sizeof ru);
                wait4(pid, &status, 0, &ru);
                const double inputMiB = (1L << log2n) * (aggressors + 1) * 8.0 / 1048576.0;
                std::printf("%-6d %-9d %-5d %12.4f %14.1f %16.1f%s\n", log2n, autoInit, aggressors, seconds,
                            ru.ru_maxrss / 1024.0, inputMiB,
                            WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : "  FAILED");
            }
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    // Own options first; Google Benchmark rejects what it does not know.
    bool peakRss = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--library=", 10) == 0)
            libraryPath() = argv[i] + 10;
        else if (std::strcmp(argv[i], "--peak-rss") == 0)
            peakRss = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    if (peakRss)
        return peakRssReport(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
