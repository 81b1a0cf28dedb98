// Speed of the signal-processing kernels: the FFT, the FIR filter in direct
// and FFT block-convolution form, and the peak-distortion eye.
#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <random>
#include <sstream>
#include <vector>

#include "dsp/FFT.h"
#include "dsp/FIR.h"
#include "dsp/ImpulseOperations.h"
#include "dsp/ImpulseToWorstCaseEye.h"

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

// A smooth channel-like impulse: a rise and an exponential tail.
std::vector<double> channelImpulse(std::size_t n)
{
    std::vector<double> h(n);
    const double tau = static_cast<double>(n) / 40.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i);
        h[i] = std::exp(-t / tau) * (1.0 - std::exp(-t / (0.2 * tau)));
    }
    return h;
}

void BM_ComplexFFT(benchmark::State& state)
{
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const std::vector<double> re = randomReal(n, 1);
    std::vector<std::complex<double>> data(n);
    FFT fft;
    for (auto _ : state) {
        state.PauseTiming();
        for (std::size_t i = 0; i < n; ++i)
            data[i] = std::complex<double>(re[i], 0.0);
        state.ResumeTiming();
        fft.ComplexFFT(data, 1);
        benchmark::DoNotOptimize(data.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_ComplexFFT)->RangeMultiplier(4)->Range(1 << 10, 1 << 20)->Unit(benchmark::kMicrosecond);

// Convolution of an input twice the tap count long: Setup, Initialize and one
// Run per output sample (input, then zeros until the full convolution is out).
void firConvolution(benchmark::State& state, int enableFFT)
{
    const std::size_t taps = static_cast<std::size_t>(state.range(0));
    std::vector<double> h = randomReal(taps, 2);
    const std::vector<double> x = randomReal(2 * taps, 3);
    const std::size_t outputs = x.size() + taps;
    double sink = 0.0;
    for (auto _ : state) {
        FIR fir;
        fir.Taps = &h;
        fir.EnableFFT = enableFFT;
        std::stringstream msg;
        fir.Setup(nullptr, msg);
        fir.Initialize();
        for (std::size_t t = 0; t < outputs; ++t) {
            fir.Input = t < x.size() ? x[t] : 0.0;
            fir.Run(msg);
            sink += fir.Output;
        }
        fir.Finalize();
    }
    benchmark::DoNotOptimize(sink);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(outputs));
}

void BM_FIR_Direct(benchmark::State& state)
{
    firConvolution(state, 0);
}
void BM_FIR_FFT(benchmark::State& state)
{
    firConvolution(state, 1);
}
// Direct form is quadratic: 1.5 * taps^2 multiply-adds, so it stops at 2^15 taps.
BENCHMARK(BM_FIR_Direct)->RangeMultiplier(8)->Range(64, 32768)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FIR_FFT)->RangeMultiplier(8)->Range(64, 262144)->Unit(benchmark::kMillisecond);

// The equaliser search's pattern: a long channel used as the taps, a short
// tap set as the input, in FFT mode.
void BM_FIR_FFT_ChannelAsTaps(benchmark::State& state)
{
    std::vector<double> channel = channelImpulse(static_cast<std::size_t>(state.range(0)));
    const std::vector<double> eqTaps = randomReal(64, 4);
    const std::size_t outputs = 2 * (channel.size() + eqTaps.size());
    double sink = 0.0;
    for (auto _ : state) {
        FIR fir;
        fir.Taps = &channel;
        fir.EnableFFT = 1;
        std::stringstream msg;
        fir.Setup(nullptr, msg);
        fir.Initialize();
        for (std::size_t t = 0; t < outputs; ++t) {
            fir.Input = t < eqTaps.size() ? eqTaps[t] : 0.0;
            fir.Run(msg);
            sink += fir.Output;
        }
        fir.Finalize();
    }
    benchmark::DoNotOptimize(sink);
}
BENCHMARK(BM_FIR_FFT_ChannelAsTaps)->Arg(1 << 16)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_WorstCaseEye(benchmark::State& state)
{
    const std::vector<double> h = channelImpulse(static_cast<std::size_t>(state.range(0)));
    std::vector<double> wcU, wcL, bcU, bcL;
    for (auto _ : state) {
        ImpulseToWorstCaseEye eye;
        eye.Impulse = &h;
        eye.SamplesPerBit = 32;
        eye.LogicLevel = 0.5;
        eye.WcUpperEye = &wcU;
        eye.WcLowerEye = &wcL;
        eye.BcUpperEye = &bcU;
        eye.BcLowerEye = &bcL;
        std::stringstream msg;
        eye.Setup(nullptr, msg);
        eye.Initialize(msg);
        benchmark::DoNotOptimize(wcU.data());
    }
}
BENCHMARK(BM_WorstCaseEye)->Arg(1 << 16)->Arg(1000000)->Unit(benchmark::kMicrosecond);

void BM_EyeLevels(benchmark::State& state)
{
    const std::vector<double> h = channelImpulse(static_cast<std::size_t>(state.range(0)));
    ImpulseOperations ops;
    double bc = 0.0, wc = 0.0;
    for (auto _ : state) {
        std::stringstream msg;
        ops.determineEyeBcWcUpperLevels(h, 32, 0.5, &bc, &wc, msg);
        benchmark::DoNotOptimize(bc);
    }
}
BENCHMARK(BM_EyeLevels)->Arg(1 << 16)->Unit(benchmark::kMicrosecond);

void BM_NyquistGain(benchmark::State& state)
{
    const std::vector<double> h = channelImpulse(static_cast<std::size_t>(state.range(0)));
    ImpulseOperations ops;
    for (auto _ : state)
        benchmark::DoNotOptimize(ops.impulseGainAtNyquist(10e9, 32, h));
}
BENCHMARK(BM_NyquistGain)->Arg(1 << 16)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
