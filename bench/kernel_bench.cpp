// The new transform and block-convolution kernels beside what the framework
// uses today and beside FFTW, each case timed side by side in one run (best
// of a few repetitions of each, interleaved), reported as counters in
// microseconds with their ratios:
//   BM_Transform/N       RealFFT forward + inverse of N real samples, FFT::
//                        ComplexFFT forward + inverse of the same samples as
//                        complex values, FFTW r2c + c2r (measured plans).
//   BM_Convolution/n/M   one full linear convolution of a channel of n
//                        samples with M taps: BlockConvolver::Convolve, FIR
//                        in FFT mode (RunBlock over the whole stream),
//                        FFTConvolution::Run (one transform of the whole
//                        length), FFTW overlap-save with the same blocks.
//   BM_SearchPattern/n/M the state search's pattern: the same channel with
//                        16 tap sets. BlockConvolver transforms each block
//                        once for all sets; FFTConvolution keeps the
//                        channel's whole-length spectrum; FFTW overlap-save
//                        transforms each block once for all sets.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <vector>

#include "dsp/BlockConvolver.h"
#include "dsp/FFT.h"
#include "dsp/FFTConvolution.h"
#include "dsp/FIR.h"
#include "dsp/RealFFT.h"

using namespace Veltramodels20200612;

namespace {

std::vector<double> randomReal(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v)
        x = u(gen);
    return v;
}

// Best wall time of f over reps calls, in microseconds.
double bestMicroseconds(int reps, const std::function<void()>& f)
{
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        best = std::min(
            best, std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

// Repetitions so that each contender runs for a few tenths of a second.
int repsFor(double workPoints)
{
    return static_cast<int>(std::max(3.0, std::min(2000.0, 2e7 / std::max(workPoints, 1.0))));
}

struct FftwPair {
    fftw_plan forward = nullptr, inverse = nullptr;
    double* real = nullptr;
    fftw_complex* spectrum = nullptr;
    explicit FftwPair(std::size_t n)
    {
        real = static_cast<double*>(fftw_malloc(n * sizeof(double)));
        spectrum = static_cast<fftw_complex*>(fftw_malloc((n / 2 + 1) * sizeof(fftw_complex)));
        forward =
            fftw_plan_dft_r2c_1d(static_cast<int>(n), real, spectrum, FFTW_MEASURE | FFTW_PRESERVE_INPUT);
        inverse =
            fftw_plan_dft_c2r_1d(static_cast<int>(n), spectrum, real, FFTW_MEASURE | FFTW_DESTROY_INPUT);
    }
    ~FftwPair()
    {
        fftw_destroy_plan(forward);
        fftw_destroy_plan(inverse);
        fftw_free(real);
        fftw_free(spectrum);
    }
};

void BM_Transform(benchmark::State& state)
{
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const std::vector<double> x = randomReal(n, 1);
    RealFFT real;
    real.Prepare(n);
    std::vector<std::complex<double>> half(n / 2 + 1);
    std::vector<double> back(n);
    FFT fft;
    std::vector<std::complex<double>> full(n);
    FftwPair w(n);
    const int reps = repsFor(static_cast<double>(n) * std::log2(static_cast<double>(n)));
    double tReal = 0, tFFT = 0, tFftw = 0;
    for (auto _ : state) {
        tReal = bestMicroseconds(reps, [&] {
            real.Forward(x.data(), half.data());
            real.Inverse(half.data(), back.data());
        });
        tFFT = bestMicroseconds(reps, [&] {
            for (std::size_t i = 0; i < n; ++i)
                full[i] = std::complex<double>(x[i], 0.0);
            fft.ComplexFFT(full, 1);
            fft.ComplexFFT(full, 0);
        });
        tFftw = bestMicroseconds(reps, [&] {
            std::memcpy(w.real, x.data(), n * sizeof(double));
            fftw_execute(w.forward);
            fftw_execute(w.inverse);
        });
        benchmark::DoNotOptimize(back.data());
        benchmark::DoNotOptimize(full.data());
        benchmark::DoNotOptimize(w.real);
    }
    state.counters["RealFFT_us"] = tReal;
    state.counters["FFT_us"] = tFFT;
    state.counters["FFTW_us"] = tFftw;
    state.counters["FFT/RealFFT"] = tFFT / tReal;
    state.counters["RealFFT/FFTW"] = tReal / tFftw;
}
BENCHMARK(BM_Transform)
    ->RangeMultiplier(4)
    ->Range(1 << 10, 1 << 20)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// FFTW overlap-save of x with the tap spectra (1/N folded in) on blocks of
// n - taps + 1: one forward transform per block, one product and inverse per
// tap set, each set's block handed to sink.
class FftwOverlapSave {
public:
    FftwOverlapSave(const std::vector<std::vector<double>>& sets, std::size_t size)
        : n_(size),
          w_(size)
    {
        taps_ = 0;
        for (const auto& t : sets)
            taps_ = std::max(taps_, t.size());
        const std::size_t bins = n_ / 2 + 1;
        window_ = static_cast<double*>(fftw_malloc(n_ * sizeof(double)));
        input_ = static_cast<fftw_complex*>(fftw_malloc(bins * sizeof(fftw_complex)));
        spectra_.resize(sets.size() * bins);
        for (std::size_t s = 0; s < sets.size(); ++s) {
            std::fill(w_.real, w_.real + n_, 0.0);
            std::copy(sets[s].begin(), sets[s].end(), w_.real);
            fftw_execute(w_.forward);
            for (std::size_t k = 0; k < bins; ++k)
                spectra_[s * bins + k] =
                    std::complex<double>(w_.spectrum[k][0], w_.spectrum[k][1]) / double(n_);
        }
    }
    ~FftwOverlapSave()
    {
        fftw_free(window_);
        fftw_free(input_);
    }
    std::size_t block() const { return n_ - taps_ + 1; }
    // y[s] gets outputs samples of set s.
    void run(const std::vector<double>& x, std::size_t outputs, std::vector<std::vector<double>>& y)
    {
        const std::size_t bins = n_ / 2 + 1, overlap = taps_ - 1, b = block();
        std::fill(window_, window_ + n_, 0.0);
        for (std::size_t start = 0; start < outputs; start += b) {
            if (start > 0)
                std::memmove(window_, window_ + b, overlap * sizeof(double));
            const std::size_t in = start < x.size() ? std::min(b, x.size() - start) : 0;
            std::memcpy(window_ + overlap, x.data() + std::min(start, x.size()), in * sizeof(double));
            std::fill(window_ + overlap + in, window_ + n_, 0.0);
            fftw_execute_dft_r2c(w_.forward, window_, input_);
            const std::size_t out = std::min(b, outputs - start);
            for (std::size_t s = 0; s < y.size(); ++s) {
                const std::complex<double>* h = spectra_.data() + s * bins;
                for (std::size_t k = 0; k < bins; ++k) {
                    const double ar = input_[k][0], ai = input_[k][1];
                    w_.spectrum[k][0] = ar * h[k].real() - ai * h[k].imag();
                    w_.spectrum[k][1] = ar * h[k].imag() + ai * h[k].real();
                }
                fftw_execute_dft_c2r(w_.inverse, w_.spectrum, w_.real);
                std::memcpy(y[s].data() + start, w_.real + overlap, out * sizeof(double));
            }
        }
    }

private:
    std::size_t n_;
    FftwPair w_;
    std::size_t taps_;
    double* window_;
    fftw_complex* input_;
    std::vector<std::complex<double>> spectra_;
};

// A pre-emphasis-like tap set: a main lobe and a negative post-cursor.
std::vector<double> equaliserTaps(std::size_t m, unsigned seed)
{
    std::vector<double> t = randomReal(m, seed);
    for (std::size_t i = 0; i < m; ++i)
        t[i] = 0.1 * t[i] + std::exp(-static_cast<double>(i) / (m / 8.0)) -
               0.3 * std::exp(-std::fabs(i - m / 2.0));
    return t;
}

void BM_Convolution(benchmark::State& state)
{
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const std::size_t m = static_cast<std::size_t>(state.range(1));
    const std::vector<double> x = randomReal(n, 3);
    std::vector<double> h = equaliserTaps(m, 4);
    const std::size_t outputs = n + m - 1;
    BlockConvolver conv;
    conv.SetTaps(h);
    FftwOverlapSave fftw({h}, conv.TransformSize());
    std::vector<double> y(outputs);
    std::vector<std::vector<double>> yw(1, std::vector<double>(outputs + fftw.block()));
    const int reps = repsFor(4.0 * outputs * std::log2(static_cast<double>(conv.TransformSize())));
    double tBlock = 0, tFir = 0, tWhole = 0, tFftw = 0;
    for (auto _ : state) {
        tBlock = bestMicroseconds(reps, [&] { conv.Convolve(0, x.data(), n, y.data(), outputs); });
        tFftw = bestMicroseconds(reps, [&] { fftw.run(x, outputs, yw); });
        // FIR in FFT mode: the input streamed through, delayed by its block.
        tFir = bestMicroseconds(std::max(1, reps / 4), [&] {
            FIR fir;
            fir.Taps = &h;
            fir.EnableFFT = 1;
            fir.QuietSetup = 1;
            std::stringstream msg;
            fir.Setup(nullptr, msg);
            fir.Initialize();
            const std::size_t stream = outputs + static_cast<std::size_t>(fir.FFTBlockSize);
            std::vector<double> in(stream, 0.0), out(stream);
            std::copy(x.begin(), x.end(), in.begin());
            fir.RunBlock(in.data(), out.data(), static_cast<std::int64_t>(stream), msg);
            fir.Finalize();
            benchmark::DoNotOptimize(out.data());
        });
        // The cascade's convolution: one circular convolution over the whole
        // length, channel spectrum not yet known (a fresh object).
        tWhole = bestMicroseconds(std::max(1, reps / 4), [&] {
            FFTConvolution whole;
            std::vector<double> v(x);
            whole.Run(h, v);
            benchmark::DoNotOptimize(v.data());
        });
        benchmark::DoNotOptimize(y.data());
    }
    state.counters["Block_us"] = tBlock;
    state.counters["FIR_FFT_us"] = tFir;
    state.counters["FFTConv_us"] = tWhole;
    state.counters["FFTW_us"] = tFftw;
    state.counters["FIR/Block"] = tFir / tBlock;
    state.counters["FFTConv/Block"] = tWhole / tBlock;
    state.counters["Block/FFTW"] = tBlock / tFftw;
}
BENCHMARK(BM_Convolution)
    ->Args({1 << 16, 396})
    ->Args({1 << 20, 396})
    ->Args({1 << 16, 2000})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_SearchPattern(benchmark::State& state)
{
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const std::size_t m = static_cast<std::size_t>(state.range(1));
    const std::size_t sets = 16;
    const std::vector<double> x = randomReal(n, 5);
    std::vector<std::vector<double>> taps;
    for (std::size_t s = 0; s < sets; ++s)
        taps.push_back(equaliserTaps(m, 10 + static_cast<unsigned>(s)));
    const std::size_t outputs = n + m - 1;
    BlockConvolver conv;
    conv.SetTaps(taps);
    FftwOverlapSave fftw(taps, conv.TransformSize());
    const std::size_t b = conv.BlockSize();
    std::vector<double> block(b);
    std::vector<std::vector<double>> yw(sets, std::vector<double>(outputs + fftw.block()));
    double sink = 0.0;
    const int reps = repsFor(sets * 2.0 * outputs * std::log2(static_cast<double>(conv.TransformSize())));
    double tBlock = 0, tWhole = 0, tFftw = 0;
    for (auto _ : state) {
        tBlock = bestMicroseconds(reps, [&] {
            conv.Restart();
            for (std::size_t start = 0; start < outputs; start += b) {
                const std::size_t in = start < n ? std::min(b, n - start) : 0;
                conv.LoadBlock(in > 0 ? x.data() + start : nullptr, in);
                for (std::size_t s = 0; s < sets; ++s) {
                    conv.OutputBlock(s, block.data());
                    sink += block[0];
                }
            }
        });
        tFftw = bestMicroseconds(reps, [&] { fftw.run(x, outputs, yw); });
        tWhole = bestMicroseconds(std::max(1, reps / 4), [&] {
            FFTConvolution whole;
            for (std::size_t s = 0; s < sets; ++s) {
                std::vector<double> v(x);
                whole.Run(taps[s], v);
                sink += v[0];
            }
        });
    }
    benchmark::DoNotOptimize(sink);
    state.counters["Block_us"] = tBlock;
    state.counters["FFTConv_us"] = tWhole;
    state.counters["FFTW_us"] = tFftw;
    state.counters["FFTConv/Block"] = tWhole / tBlock;
    state.counters["Block/FFTW"] = tBlock / tFftw;
}
BENCHMARK(BM_SearchPattern)
    ->Args({1 << 16, 427})
    ->Args({1 << 20, 427})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
