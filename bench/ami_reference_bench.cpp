// AMI_Init beside a minimal implementation of the same job written with
// FFTW, on the channels of ami_bench (2^12 ... 2^20 samples at 32 samples
// per bit, 78.125 ps bit, no aggressor and four, AutoInit 0 and 1).
//
// The reference job, for AutoInit 1:
//   - the 16 states' taps with a one-bit box folded in (the pulse taps), so
//     that a convolution yields the one-bit pulse response directly;
//   - overlap-save over the through channel with real-to-complex transforms
//     and blocks sized to the taps: each channel block is transformed once
//     and its spectrum multiplied by every state's pulse-tap spectrum; each
//     state's block of pulse samples goes straight into a streaming eye
//     (StreamingEye), so no trial response is stored;
//   - the state with the strictly largest worst-to-best eye ratio, as the
//     library's search compares them;
//   - the chosen state's evaluation and the output columns: one overlap-save
//     convolution per column with the chosen taps, written back in place;
//     the through column's convolution runs on over the whole response and
//     feeds a streaming eye, which is the evaluation.
// For AutoInit 0 it does the last step only, with the given state.
// Transform plans and buffers are made once per block size, before timing;
// the taps come from the framework's list class, as the library's tests get
// them, also before timing. The tap spectra are part of the timed job.
//
// Outside the timing every case is checked: the reference must choose the
// library's state and give every output column within 1e-9 of that column's
// peak magnitude of the library's; up to 2^16 samples every state's ratio in
// the streamed search must also be within 1e-9 of the ratio of the whole
// response (direct convolution) measured with the whole-vector eye. The
// table form also checks the search on lossy lines of several losses, where
// the choice moves across the states.
//
// Forms:
//   ami_reference_bench [Google Benchmark flags]
//       one benchmark per case; it times the reference and, before that,
//       the library (best of 3) and reports both with their ratio as
//       counters lib_ms, ref_ms, lib/ref.
//   ami_reference_bench --table [--reps=K] [--min-log2n=K] [--max-log2n=K]
//       the same as a table: best of K (default 3) of each, interleaved.
//   ami_reference_bench --peak-rss [--min-log2n=K] [--max-log2n=K]
//       every case in fresh child processes, library and reference apart:
//       wall time of one call and the child's peak resident set size.
// Every form takes --library=PATH.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fftw3.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/ImpulseOperations.h"
#include "dsp/StreamingEye.h"

#include "bench/AmiBenchCommon.h"
#include "tests/model/AmiTestHost.h"

using namespace Veltramodels20200612;
using namespace amibench;

namespace {

const int kStates = 16;
const int kPreEmphasis = 4;  // the state asked for with AutoInit 0
const int kCorner = 0;
const double kLogicLevel = 0.5;

// ---------------------------------------------------------------- library

// ---------------------------------------------------------------- channels
// The channels of ami_bench, sample for sample: a lossy through pulse with a
// rippling reflection tail over the whole impulse (no sample is zero), and
// far-end crosstalk aggressors.

std::string parameters(int autoInit)
{
    return std::string("(VELMOR7700X (AutoInit ") + std::to_string(autoInit) + ")(PreEmphasis " +
           std::to_string(kPreEmphasis) + ")(CornerCase " + std::to_string(kCorner) + ")(OutputGain 1.0))";
}

// One AMI_Init/AMI_Close pair on m. Returns the state the library reports
// (-1 when the call fails or the message names none).
int callModel(std::vector<double>& m, long n, int aggressors, int autoInit)
{
    Library& lib = library();
    std::string params = parameters(autoInit);
    char* out = nullptr;
    void* handle = nullptr;
    char* msg = nullptr;
    const long r =
        lib.init(m.data(), n, aggressors, kSampleInterval, kBitTime, &params[0], &out, &handle, &msg);
    int state = -1;
    const std::string text = msg != nullptr ? msg : "";
    if (r != 1) {
        std::fprintf(stderr, "AMI_Init failed:\n%s", text.c_str());
    } else {
        const std::string key = "PreEmphasis state = ";
        const size_t at = text.find(key);
        if (at != std::string::npos)
            state = std::atoi(text.c_str() + at + key.size());
    }
    lib.close(handle);
    return state;
}

// ---------------------------------------------------------------- taps
// Taps of pre-emphasis state p as the framework's list class builds them for
// the simulation grid (the way the library's tests compute them).
std::vector<double> stateTaps(int preEmphasis)
{
    return amitest::stateTaps(kCorner, preEmphasis, 1.0 / kBitTime, kSamplesPerBit);
}

// ---------------------------------------------------------------- reference

struct FftwFree {
    void operator()(void* p) const { fftw_free(p); }
};
using RealBuffer = std::unique_ptr<double[], FftwFree>;
using ComplexBuffer = std::unique_ptr<fftw_complex[], FftwFree>;

RealBuffer realBuffer(size_t n)
{
    return RealBuffer(static_cast<double*>(fftw_malloc(n * sizeof(double))));
}
ComplexBuffer complexBuffer(size_t n)
{
    return ComplexBuffer(static_cast<fftw_complex*>(fftw_malloc(n * sizeof(fftw_complex))));
}

class Reference {
public:
    Reference()
    {
        for (int p = 0; p < kStates; ++p) {
            taps_[p] = stateTaps(p);
            // The pulse taps: L times the taps convolved with S ones.
            const std::vector<double>& t = taps_[p];
            std::vector<double>& q = pulseTaps_[p];
            q.assign(t.size() + kSamplesPerBit - 1, 0.0);
            for (size_t i = 0; i < t.size(); ++i)
                for (int j = 0; j < kSamplesPerBit; ++j)
                    q[i + j] += kLogicLevel * t[i];
            maxTaps_ = std::max(maxTaps_, t.size());
            maxPulseTaps_ = std::max(maxPulseTaps_, q.size());
        }
    }
    ~Reference()
    {
        for (auto& kv : plans_) {
            fftw_destroy_plan(kv.second.forward);
            fftw_destroy_plan(kv.second.inverse);
        }
    }
    bool ok() const { return maxTaps_ > 0; }
    size_t taps() const { return maxTaps_; }
    size_t pulseTaps() const { return maxPulseTaps_; }
    size_t transformSize() const { return size_; }

    // Chooses the transform size for a channel of n samples and makes its
    // plans and buffers: everything that is not timed.
    void prepare(long n)
    {
        const size_t size = chooseSize(static_cast<size_t>(n));
        const size_t bins = size / 2 + 1;
        if (size != size_) {
            size_ = size;
            window_ = realBuffer(size);
            result_ = realBuffer(size);
            spectrum_ = complexBuffer(bins);
            product_ = complexBuffer(bins);
            tapSpectra_ = complexBuffer(bins * (kStates + 1));
        }
        // Plans are executed on these buffers or others from fftw_malloc,
        // which have the same alignment.
        Plans& plans = plans_[size];
        if (plans.forward == nullptr) {
            plans.forward = fftw_plan_dft_r2c_1d(static_cast<int>(size), window_.get(), spectrum_.get(),
                                                 FFTW_MEASURE | FFTW_PRESERVE_INPUT);
            plans.inverse = fftw_plan_dft_c2r_1d(static_cast<int>(size), product_.get(), result_.get(),
                                                 FFTW_MEASURE | FFTW_DESTROY_INPUT);
        }
        forward_ = plans.forward;
        inverse_ = plans.inverse;
        for (StreamingEye& e : eyes_)
            e.Start(kSamplesPerBit, kLogicLevel, StreamingEye::Input::Pulse);
    }

    // The job on the (aggressors + 1) columns of n samples in m, in place.
    // Returns the state used.
    int run(double* m, long n, int aggressors, int autoInit)
    {
        int state = kPreEmphasis;
        if (autoInit == 1)
            state = search(m, n);
        finalEvaluation_ = output(m, n, aggressors, state);
        return state;
    }

    double finalRatio() const { return finalEvaluation_; }
    // Open-eye ratio of state p in the last search.
    double searchRatio(int p) const { return ratios_[p]; }
    const std::vector<double>& stateTapsOf(int p) const { return taps_[p]; }

private:
    struct Plans {
        fftw_plan forward = nullptr;
        fftw_plan inverse = nullptr;
    };

    // The power of two that minimises the transform work over the pulse
    // length, blocks of size - taps + 1 new samples each.
    size_t chooseSize(size_t n) const
    {
        size_t best = 0;
        double bestCost = 0.0;
        for (size_t size = 256; size <= (1u << 17); size *= 2) {
            if (size < 2 * maxPulseTaps_)
                continue;
            const size_t block = size - maxPulseTaps_ + 1;
            const size_t blocks = (n + maxPulseTaps_ - 1 + block - 1) / block;
            const double cost = static_cast<double>(blocks) * size * std::log2(static_cast<double>(size));
            if (best == 0 || cost < bestCost) {
                best = size;
                bestCost = cost;
            }
        }
        return best;
    }

    // Spectrum of taps t zero-padded to the transform size, with the 1/N of
    // the unscaled inverse folded in.
    void tapSpectrum(const std::vector<double>& t, fftw_complex* out)
    {
        double* w = window_.get();
        std::fill(w, w + size_, 0.0);
        std::copy(t.begin(), t.end(), w);
        fftw_execute_dft_r2c(forward_, w, out);
        const double scale = 1.0 / static_cast<double>(size_);
        for (size_t k = 0; k < size_ / 2 + 1; ++k) {
            out[k][0] *= scale;
            out[k][1] *= scale;
        }
    }

    static void multiply(const fftw_complex* a, const fftw_complex* b, fftw_complex* c, size_t bins)
    {
        for (size_t k = 0; k < bins; ++k) {
            const double re = a[k][0] * b[k][0] - a[k][1] * b[k][1];
            const double im = a[k][0] * b[k][1] + a[k][1] * b[k][0];
            c[k][0] = re;
            c[k][1] = im;
        }
    }

    // Overlap-save: the window holds the last taps - 1 input samples before
    // the block and the block's new samples (zeros past the channel).
    void loadBlock(const double* x, long n, long start, size_t overlap, size_t block, bool first)
    {
        double* w = window_.get();
        if (first)
            std::fill(w, w + overlap, 0.0);
        else
            std::memmove(w, w + block, overlap * sizeof(double));
        const long avail = std::max(0L, std::min(static_cast<long>(block), n - start));
        if (avail > 0)
            std::memcpy(w + overlap, x + start, static_cast<size_t>(avail) * sizeof(double));
        std::fill(w + overlap + avail, w + size_, 0.0);
    }

    int search(const double* channel, long n)
    {
        const size_t bins = size_ / 2 + 1;
        for (int p = 0; p < kStates; ++p) {
            tapSpectrum(pulseTaps_[p], tapSpectra_.get() + bins * p);
            eyes_[p].Start(kSamplesPerBit, kLogicLevel, StreamingEye::Input::Pulse);
        }
        const size_t overlap = maxPulseTaps_ - 1;
        const size_t block = size_ - overlap;
        const long pulseLength = n + static_cast<long>(overlap);
        for (long start = 0; start < pulseLength; start += static_cast<long>(block)) {
            loadBlock(channel, n, start, overlap, block, start == 0);
            fftw_execute_dft_r2c(forward_, window_.get(), spectrum_.get());
            const size_t count = static_cast<size_t>(std::min(static_cast<long>(block), pulseLength - start));
            for (int p = 0; p < kStates; ++p) {
                multiply(spectrum_.get(), tapSpectra_.get() + bins * p, product_.get(), bins);
                fftw_execute_dft_c2r(inverse_, product_.get(), result_.get());
                eyes_[p].Add(result_.get() + overlap, count);
            }
        }
        // The state with the strictly largest ratio; the list order of the
        // library's search is StepRespIndex 1 ... 16, that is PreEmphasis
        // 15 ... 0.
        double best = -1e40;
        int chosen = kStates - 1;
        for (int index = 1; index <= kStates; ++index) {
            const int p = kStates - index;
            double bc = 0.0, wc = 0.0;
            ratios_[p] = -1e40;
            if (eyes_[p].Levels(&bc, &wc) && bc != 0.0)
                ratios_[p] = wc / bc;
            if (ratios_[p] > best) {
                best = ratios_[p];
                chosen = p;
            }
        }
        return chosen;
    }

    // Output columns with the taps of state p; returns the through column's
    // open-eye ratio (the evaluation of the state).
    double output(double* m, long n, int aggressors, int p)
    {
        const size_t bins = size_ / 2 + 1;
        fftw_complex* taps = tapSpectra_.get() + bins * kStates;
        tapSpectrum(taps_[p], taps);
        const size_t overlap = taps_[p].size() - 1;
        const size_t block = size_ - overlap;
        double ratio = 0.0;
        for (int c = 0; c <= aggressors; ++c) {
            double* x = m + static_cast<size_t>(n) * c;
            // The through column runs on over the whole response for its eye.
            const long length = c == 0 ? n + static_cast<long>(overlap) : n;
            StreamingEye& eye = eyes_[0];
            if (c == 0)
                eye.Start(kSamplesPerBit, kLogicLevel, StreamingEye::Input::Impulse);
            for (long start = 0; start < length; start += static_cast<long>(block)) {
                loadBlock(x, n, start, overlap, block, start == 0);
                fftw_execute_dft_r2c(forward_, window_.get(), spectrum_.get());
                multiply(spectrum_.get(), taps, product_.get(), bins);
                fftw_execute_dft_c2r(inverse_, product_.get(), result_.get());
                const double* y = result_.get() + overlap;
                const long count = std::min(static_cast<long>(block), length - start);
                if (c == 0)
                    eye.Add(y, static_cast<size_t>(count));
                const long kept = std::max(0L, std::min(count, n - start));
                if (kept > 0)
                    std::memcpy(x + start, y, static_cast<size_t>(kept) * sizeof(double));
            }
            if (c == 0) {
                double bc = 0.0, wc = 0.0;
                if (eye.Levels(&bc, &wc) && bc != 0.0)
                    ratio = wc / bc;
            }
        }
        return ratio;
    }

    std::vector<double> taps_[kStates];
    std::vector<double> pulseTaps_[kStates];
    size_t maxTaps_ = 0;
    size_t maxPulseTaps_ = 0;
    size_t size_ = 0;
    std::map<size_t, Plans> plans_;
    fftw_plan forward_ = nullptr;
    fftw_plan inverse_ = nullptr;
    RealBuffer window_, result_;
    ComplexBuffer spectrum_, product_, tapSpectra_;
    StreamingEye eyes_[kStates];
    double finalEvaluation_ = 0.0;
    double ratios_[kStates] = {};
};

Reference& reference()
{
    static Reference ref;
    return ref;
}

// ---------------------------------------------------------------- check

// Open-eye ratio of the channel through taps t the way the library's search
// measures a trial: the whole response by direct convolution, then the
// whole-vector eye.
double wholeVectorRatio(const double* channel, long n, const std::vector<double>& t)
{
    std::vector<double> r(static_cast<size_t>(n) + t.size() - 1, 0.0);
    for (long i = 0; i < n; ++i)
        for (size_t j = 0; j < t.size(); ++j)
            r[static_cast<size_t>(i) + j] += channel[i] * t[j];
    ImpulseOperations ops(nullptr);
    std::stringstream msg;
    double bc = 0.0, wc = 0.0;
    if (!ops.determineEyeBcWcUpperLevels(r, kSamplesPerBit, kLogicLevel, &bc, &wc, msg) || bc == 0.0)
        return -1e40;
    return wc / bc;
}

// Largest difference of the last check, relative to its column's peak.
double gLastRelativeDifference = 0.0;
int gLastState = -1;

// Runs both on the same input and compares. Returns an empty string when
// they agree, else what differs.
std::string checkMatrix(const std::vector<double>& input, long n, int aggressors, int autoInit)
{
    gLastRelativeDifference = 0.0;
    std::vector<double> lib, ref;
    lib = input;
    ref = input;
    const int libState = callModel(lib, n, aggressors, autoInit);
    Reference& r = reference();
    r.prepare(n);
    const int refState = r.run(ref.data(), n, aggressors, autoInit);
    std::ostringstream why;
    gLastState = libState;
    if (libState != refState)
        why << "state: library " << libState << ", reference " << refState << "; ";
    // Up to 2^16 samples also every state's ratio in the streamed search
    // against the whole response and the whole-vector eye.
    if (autoInit == 1 && n <= (1L << 16)) {
        for (int p = 0; p < kStates; ++p) {
            const double want = wholeVectorRatio(input.data(), n, r.stateTapsOf(p));
            if (!(std::fabs(r.searchRatio(p) - want) <= 1e-9 * std::fabs(want)))
                why << "ratio of state " << p << ": whole vector " << want << ", streamed "
                    << r.searchRatio(p) << "; ";
        }
    }
    for (int c = 0; c <= aggressors; ++c) {
        double peak = 0.0, diff = 0.0;
        for (long i = 0; i < n; ++i) {
            const size_t k = static_cast<size_t>(n) * c + static_cast<size_t>(i);
            peak = std::max(peak, std::fabs(lib[k]));
            diff = std::max(diff, std::fabs(lib[k] - ref[k]));
        }
        gLastRelativeDifference = std::max(gLastRelativeDifference, peak > 0.0 ? diff / peak : diff);
        if (!(diff <= 1e-9 * peak))
            why << "column " << c << ": max difference " << diff << " vs peak " << peak << "; ";
    }
    return why.str();
}

std::string check(long n, int aggressors, int autoInit)
{
    std::vector<double> input;
    fillMatrix(input, n, aggressors);
    return checkMatrix(input, n, aggressors, autoInit);
}

// Lossy lines of three equal poles without the long reflection tail, from
// nearly lossless to very lossy, so that the search's choice moves across
// the states; the aggressors are the benchmark's. Prints each chosen state;
// returns the number of channels where the reference and the library
// disagree.
int checkOtherChannels(long n)
{
    int failures = 0;
    std::printf("search on other channels (2^%d samples, 4 aggressors):", static_cast<int>(std::log2(n)));
    for (double tauBits : {0.1, 0.3, 0.6, 1.0, 1.6, 2.5}) {
        std::vector<double> m(static_cast<size_t>(n) * 5, 0.0);
        const double tau = tauBits * kSamplesPerBit;
        double sum = 0.0;
        for (long i = 0; i < n; ++i) {
            const double t = static_cast<double>(i) - 2.0 * kSamplesPerBit;
            m[i] = t > 0.0 ? (t / tau) * (t / tau) * std::exp(-t / tau) : 0.0;
            sum += m[i];
        }
        for (long i = 0; i < n; ++i)
            m[i] *= 0.8 / (sum * kSampleInterval);
        for (int k = 1; k <= 4; ++k)
            aggressorChannel(m.data() + static_cast<size_t>(n) * k, m.data(), n, k);
        const std::string differs = checkMatrix(m, n, 4, 1);
        std::printf(" tau %.1f UI: %s", tauBits, differs.empty() ? "" : differs.c_str());
        if (differs.empty())
            std::printf("PreEmphasis %d;", gLastState);
        failures += differs.empty() ? 0 : 1;
    }
    std::printf("\n");
    return failures;
}

double seconds(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double bestLibrary(const std::vector<double>& input, long n, int aggressors, int autoInit, int reps)
{
    std::vector<double> m;
    double best = 1e300;
    for (int k = 0; k < reps; ++k) {
        m = input;
        const auto t0 = std::chrono::steady_clock::now();
        callModel(m, n, aggressors, autoInit);
        best = std::min(best, seconds(t0));
    }
    return best;
}

double bestReference(const std::vector<double>& input, long n, int aggressors, int autoInit, int reps)
{
    std::vector<double> m;
    Reference& r = reference();
    r.prepare(n);
    double best = 1e300;
    for (int k = 0; k < reps; ++k) {
        m = input;
        const auto t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(r.run(m.data(), n, aggressors, autoInit));
        best = std::min(best, seconds(t0));
    }
    return best;
}

// ---------------------------------------------------------------- forms

void BM_LibraryVsReference(benchmark::State& state)
{
    if (!library().ok() || !reference().ok()) {
        state.SkipWithError("model library not loadable or no taps");
        return;
    }
    const long n = 1L << state.range(0);
    const int autoInit = static_cast<int>(state.range(1));
    const int aggressors = static_cast<int>(state.range(2));
    const std::string differs = check(n, aggressors, autoInit);
    if (!differs.empty()) {
        state.SkipWithError(("reference differs from the library: " + differs).c_str());
        return;
    }
    std::vector<double> input, m;
    fillMatrix(input, n, aggressors);
    const double lib = bestLibrary(input, n, aggressors, autoInit, 3);
    Reference& r = reference();
    r.prepare(n);
    double best = 1e300;
    for (auto _ : state) {
        m = input;
        const auto t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(r.run(m.data(), n, aggressors, autoInit));
        const double s = seconds(t0);
        best = std::min(best, s);
        state.SetIterationTime(s);
    }
    state.counters["lib_ms"] = lib * 1e3;
    state.counters["ref_ms"] = best * 1e3;
    state.counters["lib/ref"] = lib / best;
}

void caseArguments(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"log2n", "AutoInit", "aggr"});
    for (int log2n : {12, 14, 16, 18, 20})
        for (int autoInit : {0, 1})
            for (int aggressors : {0, 4})
                b->Args({log2n, autoInit, aggressors});
}

BENCHMARK(BM_LibraryVsReference)
    ->Apply(caseArguments)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->MinTime(0.5);

struct Range {
    int minLog2 = 12, maxLog2 = 20, reps = 3;
};

Range parseRange(int argc, char** argv)
{
    Range r;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--min-log2n=", 12) == 0)
            r.minLog2 = std::atoi(argv[i] + 12);
        if (std::strncmp(argv[i], "--max-log2n=", 12) == 0)
            r.maxLog2 = std::atoi(argv[i] + 12);
        if (std::strncmp(argv[i], "--reps=", 7) == 0)
            r.reps = std::max(1, std::atoi(argv[i] + 7));
    }
    return r;
}

int tableReport(int argc, char** argv)
{
    const Range range = parseRange(argc, argv);
    if (!library().ok() || !reference().ok())
        return 2;
    std::printf("| log2n | AutoInit | aggr | library [ms] | reference [ms] | library/reference | check |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    int failures = 0;
    for (int log2n = range.minLog2; log2n <= range.maxLog2; log2n += 2) {
        for (int autoInit : {0, 1}) {
            for (int aggressors : {0, 4}) {
                const long n = 1L << log2n;
                const std::string differs = check(n, aggressors, autoInit);
                std::vector<double> input;
                fillMatrix(input, n, aggressors);
                double lib = 1e300, ref = 1e300;
                for (int k = 0; k < range.reps; ++k) {
                    lib = std::min(lib, bestLibrary(input, n, aggressors, autoInit, 1));
                    ref = std::min(ref, bestReference(input, n, aggressors, autoInit, 1));
                }
                char same[96];
                std::snprintf(same, sizeof same, "same state (PreEmphasis %d), columns within %.1e of peak",
                              gLastState, gLastRelativeDifference);
                std::printf("| %d | %d | %d | %.3f | %.3f | %.1f | %s |\n", log2n, autoInit, aggressors,
                            lib * 1e3, ref * 1e3, lib / ref, differs.empty() ? same : differs.c_str());
                std::fflush(stdout);
                failures += differs.empty() ? 0 : 1;
            }
        }
    }
    std::printf("open-eye ratio per PreEmphasis state in the last search (2^%d, 4 aggressors):",
                range.maxLog2);
    for (int p = 0; p < kStates; ++p)
        std::printf(" %d:%.4f", p, reference().searchRatio(p));
    std::printf("\n");
    failures += checkOtherChannels(1L << 14);
    reference().prepare(1L << range.maxLog2);
    std::printf("reference at 2^%d: %zu-point transforms, %zu taps (%zu with the one-bit box)\n",
                range.maxLog2, reference().transformSize(), reference().taps(), reference().pulseTaps());
    return failures == 0 ? 0 : 1;
}

// One case in a fresh child: wall time of the call through a pipe, peak RSS
// from wait4.
bool childRun(int log2n, int autoInit, int aggressors, bool useReference, double* wall, double* rssMiB)
{
    int fd[2];
    if (pipe(fd) != 0)
        return false;
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        close(fd[0]);
        const long n = 1L << log2n;
        std::vector<double> m;
        fillMatrix(m, n, aggressors);
        bool ok;
        double s;
        if (useReference) {
            Reference& r = reference();
            r.prepare(n);
            const auto t0 = std::chrono::steady_clock::now();
            ok = r.run(m.data(), n, aggressors, autoInit) >= 0;
            s = seconds(t0);
        } else {
            if (!library().ok())
                _exit(2);
            const auto t0 = std::chrono::steady_clock::now();
            ok = callModel(m, n, aggressors, autoInit) >= 0;
            s = seconds(t0);
        }
        if (write(fd[1], &s, sizeof s) != static_cast<ssize_t>(sizeof s))
            _exit(3);
        _exit(ok ? 0 : 1);
    }
    close(fd[1]);
    double s = -1.0;
    if (read(fd[0], &s, sizeof s) != static_cast<ssize_t>(sizeof s))
        s = -1.0;
    close(fd[0]);
    int status = 0;
    struct rusage ru;
    std::memset(&ru, 0, sizeof ru);
    wait4(pid, &status, 0, &ru);
    *wall = s;
    *rssMiB = ru.ru_maxrss / 1024.0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int peakRssReport(int argc, char** argv)
{
    const Range range = parseRange(argc, argv);
    std::printf("| log2n | AutoInit | aggr | input [MiB] | library wall [s] | library peak RSS [MiB] | "
                "reference wall [s] | reference peak RSS [MiB] |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    int failures = 0;
    for (int log2n = range.minLog2; log2n <= range.maxLog2; log2n += 2) {
        for (int autoInit : {0, 1}) {
            for (int aggressors : {0, 4}) {
                double libWall = 0, libRss = 0, refWall = 0, refRss = 0;
                const bool okLib = childRun(log2n, autoInit, aggressors, false, &libWall, &libRss);
                const bool okRef = childRun(log2n, autoInit, aggressors, true, &refWall, &refRss);
                const double inputMiB = (1L << log2n) * (aggressors + 1) * 8.0 / 1048576.0;
                std::printf("| %d | %d | %d | %.1f | %.4f | %.1f | %.4f | %.1f |%s\n", log2n, autoInit,
                            aggressors, inputMiB, libWall, libRss, refWall, refRss,
                            okLib && okRef ? "" : " FAILED");
                failures += okLib && okRef ? 0 : 1;
            }
        }
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    bool peakRss = false, table = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--library=", 10) == 0)
            libraryPath() = argv[i] + 10;
        else if (std::strcmp(argv[i], "--peak-rss") == 0)
            peakRss = true;
        else if (std::strcmp(argv[i], "--table") == 0)
            table = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    if (peakRss)
        return peakRssReport(argc, argv);
    if (table)
        return tableReport(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
