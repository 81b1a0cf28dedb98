// Cost of the equaliser sections' Initialize (state search over one 16-state
// list, final evaluation, output impulse, rebuild and spectra) as the channel
// grows, at 32 samples per bit: the step-response section and, on the same
// channels, the pole/zero section. Both run in one program so that their
// times can be read as a ratio of the same run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <sstream>
#include <vector>

#include "eq/RxLTI_StepResp_AMI.h"
#include "pz/PZ_Data.h"
#include "pz/RxLTI_PZ_AMI.h"

using namespace Veltramodels20200612;

namespace {

const double kBitRate = 12.5e9;  // 2.5 ps per sample at 32 samples per bit
const int kSpb = 32;

// 16 driver states on a 2.44 ps grid over about 1 ns (400 rows): an edge with
// de-emphasis growing from state 16 (none) to state 1 (strongest), like the
// embedded tables. At 2.5 ps per sample each state has about 390 taps.
struct DriverTable {
    std::vector<double> columns[17];
    std::vector<double>* array = columns;
    DriverTable()
    {
        const int rows = 400;
        const double dt = 2.44e-12, tb = 1.0 / kBitRate;
        auto edge = [](double t) {
            return t <= 0.0 ? 0.0 : 1.0 - std::exp(-t / 18e-12) * (1.0 + t / 18e-12);
        };
        for (int r = 0; r < rows; ++r)
            columns[0].push_back(r * dt);
        for (int k = 1; k <= 16; ++k) {
            const double a = 0.03 * (16 - k);
            for (int r = 0; r < rows; ++r) {
                const double t = r * dt;
                columns[k].push_back(0.65 * (edge(t) - a * edge(t - tb)));
            }
        }
    }
};

// A lossy channel of n samples, every one of them nonzero: a main pulse a few
// bits wide and a slowly decaying, ringing reflection tail over the whole
// length.
std::vector<double> makeChannel(size_t n)
{
    std::vector<double> h(n);
    const double tau = 40.0, tail = static_cast<double>(n) / 4.0;
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double x = static_cast<double>(i);
        h[i] = (x / tau) * std::exp(-x / tau) + 1e-4 * std::exp(-x / tail) * (1.5 + std::cos(0.01 * x));
        sum += h[i];
    }
    for (double& v : h)
        v /= sum;
    return h;
}

void BM_StepRespSectionInitialize(benchmark::State& state)
{
    DriverTable table;
    const std::vector<double> channel = makeChannel(static_cast<size_t>(state.range(0)));
    RxLTI_StepResp_AMI section;
    section.BitRate = kBitRate;
    section.SamplesPerBit = kSpb;
    section.FEType = 1;
    section.NumData1 = 16;
    section.StepResp_data_values1 = &table.array;
    section.ColumnArrangement1 = 1;
    section.AdaptDataIndex = 1;
    std::stringstream msg;
    if (!section.Setup(nullptr, msg)) {
        state.SkipWithError("Setup failed");
        return;
    }
    int chosen = 0;
    for (auto _ : state) {
        state.PauseTiming();
        section.ChannelImpulse = channel;
        section.Data1Index = 1;
        msg.str("");
        state.ResumeTiming();
        if (!section.Initialize(msg)) {
            state.SkipWithError("Initialize failed");
            break;
        }
        chosen = section.Data1Index;
        benchmark::DoNotOptimize(section.OutputImpulse.data());
        state.PauseTiming();
        section.Finalize();
        state.ResumeTiming();
    }
    state.counters["state"] = chosen;
    state.counters["taps"] = static_cast<double>(section.Cascade.EQ1.Taps().size());
}

// 16 peaking states as pole/zero records (rad/s magnitudes): two poles at 8
// and 30 GHz and a zero moving from 6 GHz (almost flat) down to 0.8 GHz
// (strongest peaking), unity gain at 0 Hz.
std::vector<PZ_Data> peakingRecords()
{
    const double twoPi = 6.283185307179586;
    std::vector<PZ_Data> records(16);
    for (int k = 0; k < 16; ++k) {
        records[k].gain = 1.0;
        records[k].poles = {twoPi * 8e9, twoPi * 30e9};
        records[k].zeros = {twoPi * (6e9 - 0.35e9 * k)};
    }
    return records;
}

void BM_PoleZeroSectionInitialize(benchmark::State& state)
{
    std::vector<PZ_Data> records = peakingRecords();
    const std::vector<double> channel = makeChannel(static_cast<size_t>(state.range(0)));
    RxLTI_PZ_AMI section;
    section.BitRate = kBitRate;
    section.SamplesPerBit = kSpb;
    section.FEType = 1;
    section.NumData1 = 16;
    section.PZ_data_values1 = records.data();
    section.AdaptDataIndex = 1;
    std::stringstream msg;
    if (!section.Setup(nullptr, msg)) {
        state.SkipWithError("Setup failed");
        return;
    }
    int chosen = 0;
    for (auto _ : state) {
        state.PauseTiming();
        section.ChannelImpulse = channel;
        section.Data1Index = 1;
        msg.str("");
        state.ResumeTiming();
        if (!section.Initialize(msg)) {
            state.SkipWithError("Initialize failed");
            break;
        }
        chosen = section.Data1Index;
        benchmark::DoNotOptimize(section.OutputImpulse.data());
        state.PauseTiming();
        section.Finalize();
        state.ResumeTiming();
    }
    state.counters["state"] = chosen;
}

}  // namespace

BENCHMARK(BM_StepRespSectionInitialize)
    ->Arg(1 << 12)
    ->Arg(1 << 16)
    ->Arg(1 << 20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK(BM_PoleZeroSectionInitialize)
    ->Arg(1 << 12)
    ->Arg(1 << 16)
    ->Arg(1 << 20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
