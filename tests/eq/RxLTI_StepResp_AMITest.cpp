#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/ImpulseOperations.h"
#include "eq/InterpolateStepRespData.h"
#include "eq/RxLTI_StepResp_AMI.h"

using namespace Veltramodels20200612;

namespace {

const double kBitRate = 10e9;
const int kSpb = 8;
const double kSampleRate = kBitRate * kSpb;
const double kPi = 3.14159265358979323846;

// A step-response table with a shared time axis in column 0, reached through
// the owner's slot.
struct StepTable {
    std::vector<double> columns[20];
    std::vector<double>* array = columns;
    std::vector<double>** slot() { return &array; }
};

double edge(double t)
{
    return t <= 0.0 ? 0.0 : 1.0 - std::exp(-t / 20e-12);
}

// kind 0: de-emphasis a_k = 0.04 (k - 1) one bit after the edge; kind 1: a
// pre-shoot of 0.05 k one bit before a delayed edge.
void fillTable(StepTable& t, int kind, int states, int rows = 200, double dt = 2.5e-12)
{
    const double tb = 1.0 / kBitRate;
    for (int r = 0; r < rows; ++r)
        t.columns[0].push_back(r * dt);
    for (int k = 1; k <= states; ++k) {
        for (int r = 0; r < rows; ++r) {
            const double x = r * dt;
            const double v = kind == 0 ? edge(x) - 0.04 * (k - 1) * edge(x - tb)
                                       : (1.0 + 0.05 * k) * edge(x - tb) - 0.05 * k * edge(x - 2 * tb);
            t.columns[k].push_back(v);
        }
    }
}

// A lossy channel in gain per sample, followed by exact zeros.
std::vector<double> lossyChannel(int n = 60, double tau = 2.5, int trailingZeros = 7)
{
    std::vector<double> h(n + trailingZeros, 0.0);
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        h[i] = (i / tau) * std::exp(-i / tau);
        sum += h[i];
    }
    for (int i = 0; i < n; ++i)
        h[i] /= sum;
    return h;
}

std::vector<double> trimTrailing(std::vector<double> v)
{
    while (v.size() > 1 && v.back() == 0.0)
        v.pop_back();
    return v;
}

std::vector<double> stateTaps(StepTable& t, int states, int index)
{
    InterpolateStepRespData in;
    in.BitRate = kBitRate;
    in.SamplesPerBit = kSpb;
    in.StepRespIndex = index;
    in.NumStepResp = states;
    in.InterpolationType = 2;
    in.StepResp_data_values = t.slot();
    in.ColumnArrangement = 1;
    std::stringstream m;
    EXPECT_TRUE(in.Setup(nullptr, m)) << m.str();
    EXPECT_TRUE(in.Initialize(m)) << m.str();
    return in.OutputData;
}

std::vector<double> naiveConvolution(const std::vector<double>& a, const std::vector<double>& b)
{
    if (a.empty() || b.empty())
        return {};
    std::vector<double> y(a.size() + b.size() - 1, 0.0);
    for (size_t i = 0; i < a.size(); ++i)
        for (size_t j = 0; j < b.size(); ++j)
            y[i + j] += a[i] * b[j];
    return y;
}

std::vector<double> scaled(std::vector<double> v, double g)
{
    for (double& s : v)
        s *= g;
    return v;
}

double eyeRatio(const std::vector<double>& h)
{
    ImpulseOperations ops;
    double bc = 0.0, wc = 0.0;
    std::stringstream m;
    EXPECT_TRUE(ops.determineEyeBcWcUpperLevels(h, kSpb, 0.5, &bc, &wc, m));
    return wc / bc;
}

std::string fmt(double v)
{
    std::ostringstream s;
    s << v;
    return s.str();
}

void expectClose(const std::vector<double>& got, const std::vector<double>& want, double rel = 1e-12)
{
    ASSERT_EQ(got.size(), want.size());
    double peak = 0.0;
    for (double s : want)
        peak = std::max(peak, std::fabs(s));
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_NEAR(got[i], want[i], rel * peak) << "sample " << i;
}

// (dB, wrapped phase) of bin k of an N-point DFT of x scaled by 1/N, as the
// section reports it: dB with the 1/N undone, phase compared modulo 360.
void expectSpectrumBin(const std::complex<double>& got, const std::vector<double>& x, size_t N, size_t k)
{
    std::complex<double> X(0.0, 0.0);
    for (size_t n = 0; n < x.size(); ++n)
        X += x[n] * std::exp(std::complex<double>(0.0, -2.0 * kPi * double(k) * double(n % N) / double(N)));
    X /= double(N);
    const double dB = 10.0 * std::log10(std::norm(X) + 1e-40) + 20.0 * std::log10(double(N));
    EXPECT_NEAR(got.real(), dB, 1e-9) << "bin " << k;
    if (std::abs(X) * N > 1e-9) {
        const double phase = std::atan2(X.imag(), X.real()) * 180.0 / kPi;
        const double turns = (got.imag() - phase) / 360.0;
        EXPECT_NEAR(turns, std::round(turns), 1e-9) << "bin " << k;
    }
}

void expectUnwrapped(const std::vector<std::complex<double>>& s)
{
    for (size_t i = 1; i < s.size(); ++i) {
        const double d = s[i].imag() - s[i - 1].imag();
        ASSERT_LE(std::fabs(d), 180.0) << "bin " << i;
    }
}

// A section with list 1 (16 states) and optionally list 2 (5 states).
struct Section {
    StepTable t1, t2;
    RxLTI_StepResp_AMI s;
    std::vector<double> channel;
    explicit Section(int lists = 1)
    {
        fillTable(t1, 0, 16);
        fillTable(t2, 1, 5);
        channel = lossyChannel();
        s.BitRate = kBitRate;
        s.SamplesPerBit = kSpb;
        s.FEType = lists;
        s.NumData1 = 16;
        s.StepResp_data_values1 = t1.slot();
        s.ColumnArrangement1 = 1;
        if (lists >= 2) {
            s.NumData2 = 5;
            s.StepResp_data_values2 = t2.slot();
            s.ColumnArrangement2 = 1;
        }
        s.ChannelImpulse = channel;
    }
    bool run(std::stringstream& msg) { return s.Setup(nullptr, msg) && s.Initialize(msg); }
};

}  // namespace

TEST(RxLTI_StepResp_AMI, SetupReportsEveryFaultInOrder)
{
    RxLTI_StepResp_AMI s;
    s.InputGain = 0.0;
    s.AdaptForOutputLevel = 4;
    s.AdaptDataIndex = 2;
    s.TxDataLevelPtoP = 0.0;
    s.FEType = 5;
    s.NumData1 = -1;
    s.SectionTopology = 2;
    std::stringstream msg;
    EXPECT_FALSE(s.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "ERROR:  Front end InputGain must not be zero.\n"
                         "ERROR:  Front end AdaptForOutputLevel must be an integer in the range [0, 3].\n"
                         "ERROR:  Front end AdaptDataIndex must be either 0 or 1.\n"
                         "ERROR:  Front end TxDataLevelPtoP must be > 0.\n"
                         "ERROR:  Front end FEType must be an integer in the range [0, 4].\n"
                         "ERROR:  Front end NumData1 must be >= 0.\n"
                         "ERROR:  Front end NumData2 must be > 0.\n"
                         "ERROR:  Front end Data2Index must be an integer in the range [1, 0].\n"
                         "ERROR:  Front end NumData3 must be > 0.\n"
                         "ERROR:  Front end Data3Index must be an integer in the range [1, 0].\n"
                         "ERROR:  SectionTopology must be 0 or 1.\n");

    RxLTI_StepResp_AMI neg;
    neg.AdaptForOutputLevel = -1;
    neg.AdaptDataIndex = -1;
    neg.FEType = -1;
    std::stringstream msg2;
    EXPECT_FALSE(neg.Setup(nullptr, msg2));
    EXPECT_EQ(msg2.str(), "ERROR:  Front end AdaptForOutputLevel must be an integer in the range [0, 3].\n"
                          "ERROR:  Front end AdaptDataIndex must be either 0 or 1.\n"
                          "ERROR:  Front end FEType must be an integer in the range [0, 4].\n");
}

TEST(RxLTI_StepResp_AMI, SetupListChecks)
{
    Section a(4);
    a.s.NumData3 = 2;
    a.s.Data1Index = 17;
    std::stringstream msg;
    EXPECT_FALSE(a.s.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "ERROR:  Front end Data1Index must be an integer in the range [1, 16].\n"
                         "ERROR:  Front end NumData4 must be > 0.\n"
                         "ERROR:  Front end Data4Index must be an integer in the range [1, 0].\n");

    Section b(3);
    b.s.NumData3 = 3;
    b.s.Data3Index = 4;
    std::stringstream msg2;
    EXPECT_FALSE(b.s.Setup(nullptr, msg2));
    EXPECT_EQ(msg2.str(), "ERROR:  Front end Data3Index must be an integer in the range [1, 3].\n");

    // Lists beyond FEType are cleared.
    Section c(2);
    c.s.NumData3 = 4;
    c.s.NumData4 = 4;
    std::stringstream msg3;
    EXPECT_TRUE(c.s.Setup(nullptr, msg3));
    EXPECT_EQ(msg3.str(), "");
    EXPECT_EQ(c.s.NumData2, 5);
    EXPECT_EQ(c.s.NumData3, 0);
    EXPECT_EQ(c.s.NumData4, 0);
    c.s.FEType = 0;
    EXPECT_TRUE(c.s.Setup(nullptr, msg3));
    EXPECT_EQ(c.s.NumData2, 0);
}

TEST(RxLTI_StepResp_AMI, SetupTopologyChecks)
{
    {
        Section a(2);
        a.s.SectionTopology = 1;
        a.s.AdaptSectionRatio = 2;
        std::stringstream msg;
        EXPECT_FALSE(a.s.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "ERROR:  AdaptSectionRatio must be 0 or 1.\n");
    }
    {
        Section a(2);
        a.s.SectionTopology = 1;
        a.s.AdaptSectionRatio = 1;
        std::stringstream msg;
        EXPECT_FALSE(a.s.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "ERROR:  Section1RatioList must not be an empty list.\n");
        a.s.Section1RatioList = {0.5, -0.1, 2.0};
        std::stringstream msg2;
        EXPECT_FALSE(a.s.Setup(nullptr, msg2));
        EXPECT_EQ(msg2.str(), "ERROR:  Section1RatioList values must be in the range [0, 1].\n");
    }
    {
        Section a(2);
        a.s.SectionTopology = 1;
        a.s.Section1Ratio = 1.2;
        std::stringstream msg;
        EXPECT_FALSE(a.s.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "ERROR:  Section1Ratio must be a value in the range [0, 1].\n");
    }
    {
        Section a(1);  // list 2 is cleared for FEType 1
        a.s.SectionTopology = 1;
        a.s.NumData2 = 3;
        std::stringstream msg;
        EXPECT_FALSE(a.s.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "ERROR:  NumData1 and NumData2 must both be > 0.\n");
    }
}

TEST(RxLTI_StepResp_AMI, UseFileGetsItsLineOnce)
{
    const std::string path = ::testing::TempDir() + "rxlti_use_file.txt";
    {
        std::ofstream use(path);
        RxLTI_StepResp_AMI s;
        std::stringstream msg;
        EXPECT_TRUE(s.Setup(&use, msg));
        EXPECT_TRUE(s.Setup(&use, msg));
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "Veltramodels20200612::RxLTI_StepResp_AMI\n");
    std::remove(path.c_str());
}

TEST(RxLTI_StepResp_AMI, NoEqualizationIsTheTrimmedChannelTimesGain)
{
    RxLTI_StepResp_AMI s;
    s.BitRate = kBitRate;
    s.SamplesPerBit = kSpb;
    s.InputGain = 2.0;
    s.ChannelImpulse = lossyChannel();
    const std::vector<double> trimmed = trimTrailing(s.ChannelImpulse);
    std::stringstream msg;
    ASSERT_TRUE(s.Setup(nullptr, msg));
    ASSERT_TRUE(s.Initialize(msg));
    EXPECT_EQ(msg.str(), "\nFront end (FE) model with no equalization used.\n");
    EXPECT_EQ(s.ChannelImpulse, trimmed);
    EXPECT_EQ(s.OutputImpulse, scaled(trimmed, 2.0));
    EXPECT_EQ(s.SampleRate, kSampleRate);

    // Spectra: 4096 points for a short impulse, FFT of 8192.
    ASSERT_EQ(s.Frequencies.size(), 4096u);
    EXPECT_DOUBLE_EQ(s.FreqStep, 0.5 * kSampleRate / 4095);
    EXPECT_DOUBLE_EQ(s.Frequencies[10], 10 * s.FreqStep);
    ASSERT_EQ(s.OutputSpectrum.size(), 4096u);
    for (size_t k : {0u, 1u, 17u, 1000u, 4095u})
        expectSpectrumBin(s.OutputSpectrum[k], s.OutputImpulse, 8192, k);
    expectUnwrapped(s.OutputSpectrum);
    // The section alone passes a unit impulse: 0 dB, 0 degrees everywhere.
    EXPECT_EQ(s.SectionImpulse, std::vector<double>(1, 1.0));
    for (const auto& z : s.SectionSpectrum) {
        EXPECT_NEAR(z.real(), 0.0, 1e-9);
        EXPECT_NEAR(z.imag(), 0.0, 1e-9);
    }

    s.Input = 0.75;
    EXPECT_TRUE(s.Run(msg));
    EXPECT_EQ(s.Output, 0.75);

    RxLTI_StepResp_AMI quiet;
    quiet.SuppressMessages = 1;
    quiet.SkipSpectrum = 1;
    quiet.ChannelImpulse = {1.0};
    std::stringstream msg2;
    ASSERT_TRUE(quiet.Setup(nullptr, msg2) && quiet.Initialize(msg2));
    EXPECT_EQ(msg2.str(), "");
    EXPECT_TRUE(quiet.Frequencies.empty());
}

TEST(RxLTI_StepResp_AMI, NonFiniteChannelSampleSpoilsOnlyTheOutputSpectrum)
{
    RxLTI_StepResp_AMI s;
    s.ChannelImpulse = {1.0, std::nan(""), 0.5};
    std::stringstream msg;
    ASSERT_TRUE(s.Setup(nullptr, msg));
    ASSERT_TRUE(s.Initialize(msg));
    EXPECT_TRUE(std::isnan(s.OutputSpectrum[5].real()));
    ASSERT_EQ(s.SectionSpectrum.size(), 4096u);
    for (const auto& z : s.SectionSpectrum) {
        EXPECT_NEAR(z.real(), 0.0, 1e-9);
        EXPECT_NEAR(z.imag(), 0.0, 1e-9);
    }
}

TEST(RxLTI_StepResp_AMI, LevelControlOnly)
{
    RxLTI_StepResp_AMI s;
    s.BitRate = kBitRate;
    s.SamplesPerBit = kSpb;
    s.FEType = 1;
    s.InputGain = 1.5;
    s.ChannelImpulse = lossyChannel();
    const std::vector<double> trimmed = trimTrailing(s.ChannelImpulse);
    std::stringstream msg;
    ASSERT_TRUE(s.Setup(nullptr, msg));
    ASSERT_TRUE(s.Initialize(msg));
    EXPECT_EQ(msg.str(), "\nFront end (FE) model with only AGC used.\n");
    ASSERT_EQ(s.OutputImpulse.size(), trimmed.size());
    for (size_t i = 0; i < trimmed.size(); ++i)
        EXPECT_DOUBLE_EQ(s.OutputImpulse[i], 1.5 * trimmed[i]);
    s.Input = 2.0;
    ASSERT_TRUE(s.Run(msg));
    EXPECT_EQ(s.Output, 3.0);

    // Level at 0 Hz: the output's sum becomes OutputLevel (swing 1).
    RxLTI_StepResp_AMI dc;
    dc.BitRate = kBitRate;
    dc.SamplesPerBit = kSpb;
    dc.FEType = 1;
    dc.InputGain = 1.5;
    dc.AdaptForOutputLevel = 1;
    dc.OutputLevel = 0.8;
    dc.ChannelImpulse = lossyChannel();
    std::stringstream msg2;
    ASSERT_TRUE(dc.Setup(nullptr, msg2));
    ASSERT_TRUE(dc.Initialize(msg2));
    double sum = 0.0;
    for (double v : dc.OutputImpulse)
        sum += v;
    EXPECT_NEAR(sum, 0.8, 1e-12);
    EXPECT_NEAR(dc.AGC.ScalarGain, 0.8 / 1.5, 1e-12);
    EXPECT_EQ(msg2.str(), "\nFront end (FE) model with only AGC used.\nAGC scalar gain = " +
                              fmt(dc.AGC.ScalarGain) + ".\n");
}

TEST(RxLTI_StepResp_AMI, SearchPicksTheBruteForceStateAndOutputIsTheConvolution)
{
    Section sec;
    sec.s.AdaptDataIndex = 1;
    sec.s.InputGain = 1.5;
    sec.s.Gain_dB = 3.0;
    const std::vector<double> trimmed = trimTrailing(sec.channel);

    // Every state's equalised channel by naive convolution, and its eye.
    std::vector<double> ratios;
    int best = 0;
    for (int k = 1; k <= 16; ++k) {
        ratios.push_back(eyeRatio(naiveConvolution(scaled(trimmed, 1.5), stateTaps(sec.t1, 16, k))));
        if (best == 0 || ratios.back() > ratios[best - 1])
            best = k;
    }
    for (int k = 1; k <= 16; ++k) {
        if (k != best) {
            ASSERT_GT(ratios[best - 1] - ratios[k - 1], 1e-6);
        }
    }
    ASSERT_GT(best, 1);
    ASSERT_LT(best, 16);

    std::stringstream msg;
    ASSERT_TRUE(sec.run(msg)) << msg.str();
    EXPECT_EQ(sec.s.Data1Index, best);
    EXPECT_NEAR(sec.s.BestEyeRatio, ratios[best - 1], 1e-12);
    EXPECT_EQ(msg.str().rfind("\nGenerating front end (FE) model based on step response data.\n"
                              "Optimization of EQ over count = 16 states resulting in max open eye ratio = " +
                                  fmt(ratios[best - 1]) + " with optimized states\nEQ1_StepRespIndex = " +
                                  std::to_string(best) + "\n",
                              0),
              0u)
        << msg.str();

    // Output impulse: trimmed channel (times InputGain) convolved with the
    // chosen taps, times the gain.
    const double gain = std::pow(10.0, 3.0 / 20.0);
    const std::vector<double> taps = stateTaps(sec.t1, 16, best);
    expectClose(sec.s.OutputImpulse,
                trimTrailing(scaled(naiveConvolution(scaled(trimmed, 1.5), taps), gain)));

    // The section alone: the chosen taps times the gain; its spectrum is
    // that of an independently computed DFT.
    expectClose(sec.s.SectionImpulse, trimTrailing(scaled(taps, gain)));
    ASSERT_EQ(sec.s.SectionSpectrum.size(), 4096u);
    for (size_t k : {0u, 3u, 250u, 2049u})
        expectSpectrumBin(sec.s.SectionSpectrum[k], sec.s.SectionImpulse, 8192, k);
    for (size_t k : {1u, 100u, 4000u})
        expectSpectrumBin(sec.s.OutputSpectrum[k], sec.s.OutputImpulse, 8192, k);
    expectUnwrapped(sec.s.SectionSpectrum);
    expectUnwrapped(sec.s.OutputSpectrum);

    // Run continues from the rebuilt section: a unit impulse gives the taps again.
    for (size_t i = 0; i < taps.size() + 2; ++i) {
        sec.s.Input = (i == 0) ? 1.0 : 0.0;
        ASSERT_TRUE(sec.s.Run(msg));
        EXPECT_NEAR(sec.s.Output, i < taps.size() ? gain * taps[i] : 0.0, 1e-15) << i;
    }

    // An inverted channel picks the same state, and the output is the exact
    // negative.
    Section inv;
    inv.s.AdaptDataIndex = 1;
    inv.s.InputGain = 1.5;
    inv.s.Gain_dB = 3.0;
    inv.s.ChannelImpulse = scaled(inv.channel, -1.0);
    std::stringstream msg2;
    ASSERT_TRUE(inv.run(msg2));
    EXPECT_EQ(inv.s.Data1Index, best);
    EXPECT_EQ(inv.s.OutputImpulse, scaled(sec.s.OutputImpulse, -1.0));
}

TEST(RxLTI_StepResp_AMI, FixedStateAndSingleState)
{
    Section sec;
    sec.s.Data1Index = 5;
    std::stringstream msg;
    ASSERT_TRUE(sec.run(msg));
    EXPECT_EQ(sec.s.Data1Index, 5);
    const std::vector<double> trimmed = trimTrailing(sec.channel);
    const std::vector<double> response = naiveConvolution(trimmed, stateTaps(sec.t1, 16, 5));
    expectClose(sec.s.OutputImpulse, trimTrailing(response));
    EXPECT_NE(
        msg.str().find("For the selected EQ states the open eye ratio = " + fmt(sec.s.BestEyeRatio) + "\n"),
        std::string::npos);
    EXPECT_NEAR(sec.s.BestEyeRatio, eyeRatio(response), 1e-12);

    // One state: the index is 1, searched or not.
    Section one;
    one.s.NumData1 = 1;
    one.s.AdaptDataIndex = 1;
    std::stringstream msg2;
    ASSERT_TRUE(one.run(msg2));
    EXPECT_EQ(one.s.Data1Index, 1);
}

TEST(RxLTI_StepResp_AMI, CascadeOutputIsTheWholeResponse)
{
    Section sec(2);
    sec.s.Data1Index = 3;
    sec.s.Data2Index = 4;
    sec.s.Gain_dB = -2.0;
    std::stringstream msg;
    ASSERT_TRUE(sec.run(msg)) << msg.str();
    const std::vector<double> taps1 = stateTaps(sec.t1, 16, 3), taps2 = stateTaps(sec.t2, 5, 4);
    const std::vector<double> trimmed = trimTrailing(sec.channel);
    // Not cut after the channel plus the last list's taps: every list's
    // taps extend the response.
    const std::vector<double> want = trimTrailing(
        scaled(naiveConvolution(naiveConvolution(trimmed, taps1), taps2), std::pow(10.0, -2.0 / 20.0)));
    ASSERT_GT(want.size(), trimmed.size() + taps2.size());
    expectClose(sec.s.OutputImpulse, want);
    EXPECT_EQ(sec.s.Data1Index, 3);
    EXPECT_EQ(sec.s.Data2Index, 4);
}

TEST(RxLTI_StepResp_AMI, ParallelRatioOneEqualsTheFirstListAlone)
{
    for (int adapt = 0; adapt <= 1; ++adapt) {
        Section alone(1), parallel(2);
        for (Section* s : {&alone, &parallel}) {
            s->s.AdaptDataIndex = adapt;
            s->s.Data1Index = 6;
            s->s.InputGain = 1.25;
        }
        parallel.s.SectionTopology = 1;
        parallel.s.Section1Ratio = 1.0;
        parallel.s.Data2Index = 2;
        std::stringstream ma, mp;
        ASSERT_TRUE(alone.run(ma)) << ma.str();
        ASSERT_TRUE(parallel.run(mp)) << mp.str();
        EXPECT_EQ(parallel.s.Data1Index, alone.s.Data1Index) << "adapt " << adapt;
        EXPECT_EQ(parallel.s.OutputImpulse, alone.s.OutputImpulse) << "adapt " << adapt;
        EXPECT_EQ(parallel.s.SectionImpulse, alone.s.SectionImpulse) << "adapt " << adapt;
        EXPECT_NEAR(parallel.s.BestEyeRatio, alone.s.BestEyeRatio, 1e-12);
        EXPECT_EQ(parallel.s.Section1Ratio, 1.0);
        for (int i = 0; i < 50; ++i) {
            parallel.s.Input = alone.s.Input = (i == 0) ? 1.0 : 0.0;
            ASSERT_TRUE(parallel.s.Run(mp));
            ASSERT_TRUE(alone.s.Run(ma));
            EXPECT_EQ(parallel.s.Output, alone.s.Output);
        }
    }
}

TEST(RxLTI_StepResp_AMI, ParallelMixesBothListsAndWritesTheRatioBack)
{
    Section fixed(2);
    fixed.s.SectionTopology = 1;
    fixed.s.Section1Ratio = 0.4;
    fixed.s.Data1Index = 7;
    fixed.s.Data2Index = 3;
    std::stringstream msg;
    ASSERT_TRUE(fixed.run(msg)) << msg.str();
    const std::vector<double> h1 = stateTaps(fixed.t1, 16, 7), h2 = stateTaps(fixed.t2, 5, 3);
    std::vector<double> h(std::max(h1.size(), h2.size()), 0.0);
    for (size_t i = 0; i < h.size(); ++i)
        h[i] = 0.4 * (i < h1.size() ? h1[i] : 0.0) + 0.6 * (i < h2.size() ? h2[i] : 0.0);
    expectClose(fixed.s.OutputImpulse, trimTrailing(naiveConvolution(trimTrailing(fixed.channel), h)));
    expectClose(fixed.s.SectionImpulse, trimTrailing(h));

    Section searched(2);
    searched.s.SectionTopology = 1;
    searched.s.AdaptDataIndex = 1;
    searched.s.AdaptSectionRatio = 1;
    searched.s.Section1RatioList = {0.3, 0.7, 1.0};
    std::stringstream msg2;
    ASSERT_TRUE(searched.run(msg2)) << msg2.str();
    const double r = searched.s.Section1Ratio;
    EXPECT_TRUE(r == 0.3 || r == 0.7 || r == 1.0) << r;
    EXPECT_EQ(searched.s.Data1Index, searched.s.Parallel.EQ1_StepRespIndex);
    EXPECT_EQ(searched.s.Data2Index, searched.s.Parallel.EQ2_StepRespIndex);
    EXPECT_NE(msg2.str().find("Optimization of EQ with "), std::string::npos);
    EXPECT_NE(msg2.str().find(",  RatioA1 = " + fmt(r) + "\n"), std::string::npos) << msg2.str();
    // Its section impulse is the chosen mix.
    const std::vector<double> g1 = stateTaps(searched.t1, 16, searched.s.Data1Index),
                              g2 = stateTaps(searched.t2, 5, searched.s.Data2Index);
    std::vector<double> g(std::max(g1.size(), g2.size()), 0.0);
    for (size_t i = 0; i < g.size(); ++i)
        g[i] = r * (i < g1.size() ? g1[i] : 0.0) + (1.0 - r) * (i < g2.size() ? g2[i] : 0.0);
    expectClose(searched.s.SectionImpulse, trimTrailing(g));
}

TEST(RxLTI_StepResp_AMI, AllZeroChannelComesBackAsZerosWithSuccess)
{
    // Cascade with the search on and eye-level gain adaptation.
    Section sec;
    sec.s.AdaptDataIndex = 1;
    sec.s.AdaptForOutputLevel = 3;
    sec.s.ChannelImpulse.assign(300, 0.0);
    std::stringstream msg;
    ASSERT_TRUE(sec.run(msg)) << msg.str();
    EXPECT_EQ(sec.s.OutputImpulse, std::vector<double>(1, 0.0));
    EXPECT_EQ(sec.s.Data1Index, 1);
    EXPECT_LE(sec.s.BestEyeRatio, 0.0);
    EXPECT_TRUE(std::isfinite(sec.s.Cascade.Gain));
    ASSERT_EQ(sec.s.OutputSpectrum.size(), 4096u);
    for (const auto& z : sec.s.OutputSpectrum)
        EXPECT_TRUE(std::isfinite(z.real()) && std::isfinite(z.imag()));
    sec.s.Input = 1.0;
    EXPECT_TRUE(sec.s.Run(msg));
    EXPECT_TRUE(std::isfinite(sec.s.Output));

    // Parallel topology, level control and no equalisation.
    Section par(2);
    par.s.SectionTopology = 1;
    par.s.AdaptDataIndex = 1;
    par.s.AdaptSectionRatio = 1;
    par.s.Section1RatioList = {0.2, 0.8};
    par.s.AdaptForOutputLevel = 1;
    par.s.ChannelImpulse.assign(40, 0.0);
    std::stringstream msg2;
    ASSERT_TRUE(par.run(msg2)) << msg2.str();
    EXPECT_EQ(par.s.OutputImpulse, std::vector<double>(1, 0.0));
    EXPECT_EQ(par.s.Data1Index, 1);
    EXPECT_EQ(par.s.Data2Index, 1);
    EXPECT_EQ(par.s.Section1Ratio, 0.2);
    EXPECT_EQ(par.s.BestEyeRatio, 0.0);

    for (int type = 0; type <= 3; ++type) {
        RxLTI_StepResp_AMI agc;
        agc.FEType = 1;
        agc.AdaptForOutputLevel = type;
        agc.ChannelImpulse.assign(10, 0.0);
        std::stringstream m;
        ASSERT_TRUE(agc.Setup(nullptr, m) && agc.Initialize(m)) << m.str();
        EXPECT_EQ(agc.OutputImpulse, std::vector<double>(1, 0.0)) << "type " << type;
    }
    RxLTI_StepResp_AMI none;
    none.ChannelImpulse.assign(10, 0.0);
    std::stringstream m;
    ASSERT_TRUE(none.Setup(nullptr, m) && none.Initialize(m));
    EXPECT_EQ(none.OutputImpulse, std::vector<double>(1, 0.0));
}

TEST(RxLTI_StepResp_AMI, EmptyChannelIsRefusedByTheListsAndPassedByTheOtherTypes)
{
    // With equaliser lists there is nothing to equalise: the cascade refuses
    // the empty channel with its own line, and the section adds its failure
    // line, with the search on and off.
    const std::string refused = "\nGenerating front end (FE) model based on step response data.\n"
                                "ChannelImpulse vector size must be > 0.\n"
                                "\nERROR:  Front end (FE) model generation failed.\n";
    for (int adapt = 0; adapt <= 1; ++adapt) {
        Section sec;
        sec.s.AdaptDataIndex = adapt;
        sec.s.ChannelImpulse.clear();
        std::stringstream msg;
        EXPECT_FALSE(sec.run(msg));
        EXPECT_EQ(msg.str(), refused) << "AdaptDataIndex " << adapt;
        EXPECT_TRUE(sec.s.OutputImpulse.empty());
    }

    Section par(2);
    par.s.SectionTopology = 1;
    par.s.ChannelImpulse.clear();
    std::stringstream msg2;
    EXPECT_FALSE(par.run(msg2));
    EXPECT_NE(msg2.str().find("ChannelImpulse vector size must be > 0.\n"), std::string::npos) << msg2.str();
    EXPECT_TRUE(par.s.OutputImpulse.empty());

    // Without lists (no equalisation, or level control only) the empty
    // channel passes through as an empty output.

    for (int fe = 0; fe <= 1; ++fe) {
        RxLTI_StepResp_AMI s;
        s.FEType = fe;
        s.AdaptForOutputLevel = fe ? 3 : 0;
        std::stringstream m;
        ASSERT_TRUE(s.Setup(nullptr, m) && s.Initialize(m)) << m.str();
        EXPECT_TRUE(s.OutputImpulse.empty());
        EXPECT_EQ(s.OutputSpectrum.size(), 4096u);
    }
}

TEST(RxLTI_StepResp_AMI, NonFiniteChannelSamplesEndWithoutCrashOrHang)
{
    for (double bad : {std::nan(""), HUGE_VAL}) {
        for (int topology = 0; topology <= 1; ++topology) {
            Section sec(2);
            sec.s.SectionTopology = topology;
            sec.s.AdaptDataIndex = 1;
            sec.s.AdaptSectionRatio = topology;
            sec.s.Section1RatioList = {0.5, 1.0};
            sec.s.ChannelImpulse[10] = bad;
            std::stringstream msg;
            ASSERT_TRUE(sec.s.Setup(nullptr, msg));
            // No state can be judged: the first one stays, as for a silent channel.
            sec.s.Initialize(msg);
            EXPECT_EQ(sec.s.Data1Index, 1);
            EXPECT_EQ(sec.s.Data2Index, 1);
        }
    }
}

TEST(RxLTI_StepResp_AMI, CascadeFailureIsReported)
{
    Section sec;
    std::vector<double>* none = nullptr;
    sec.s.StepResp_data_values1 = &none;
    std::stringstream msg;
    ASSERT_TRUE(sec.s.Setup(nullptr, msg));
    EXPECT_FALSE(sec.s.Initialize(msg));
    EXPECT_EQ(msg.str(), "\nGenerating front end (FE) model based on step response data.\n"
                         "EQ1_StepResp_data_values vector size must be > 0.\n"
                         "\nERROR:  Front end (FE) model generation failed.\n");
    sec.s.Input = 1.0;
    EXPECT_FALSE(sec.s.Run(msg));
    EXPECT_EQ(sec.s.Output, 0.0);
}

TEST(RxLTI_StepResp_AMI, SkipFlagsAndFinalize)
{
    Section skip;
    skip.s.AdaptDataIndex = 1;
    skip.s.SkipOutputImpulse = 1;
    std::stringstream msg;
    ASSERT_TRUE(skip.run(msg));
    EXPECT_TRUE(skip.s.OutputImpulse.empty());
    EXPECT_TRUE(skip.s.Frequencies.empty());
    EXPECT_GE(skip.s.Data1Index, 1);
    skip.s.Input = 1.0;
    EXPECT_TRUE(skip.s.Run(msg));

    Section noSpectrum;
    noSpectrum.s.SkipSpectrum = 1;
    std::stringstream msg2;
    ASSERT_TRUE(noSpectrum.run(msg2));
    EXPECT_FALSE(noSpectrum.s.OutputImpulse.empty());
    EXPECT_TRUE(noSpectrum.s.OutputSpectrum.empty());
    EXPECT_TRUE(noSpectrum.s.SectionImpulse.empty());
    noSpectrum.s.Finalize();
    EXPECT_FALSE(noSpectrum.s.Run(msg2));
}

// Without a search and without a final evaluation nothing reads the lists'
// copy of the channel, so none is made; the output is that of the full path,
// and an empty channel is still refused.
TEST(RxLTI_StepResp_AMI, ListsThatReadNoChannelGetNoCopy)
{
    for (int lists = 1; lists <= 2; ++lists) {
        Section full(lists), lean(lists);
        full.s.Data1Index = lean.s.Data1Index = 5;
        lean.s.SkipFinalEvaluation = 1;
        full.s.SkipSpectrum = lean.s.SkipSpectrum = 1;
        std::stringstream fullMsg, leanMsg;
        ASSERT_TRUE(full.run(fullMsg)) << fullMsg.str();
        ASSERT_TRUE(lean.run(leanMsg)) << leanMsg.str();
        EXPECT_EQ(lean.s.OutputImpulse, full.s.OutputImpulse) << lists << " lists";
        EXPECT_EQ(lean.s.Data1Index, 5);
        EXPECT_TRUE(lean.s.Cascade.ScaledChannel.empty());
        EXPECT_EQ(lean.s.Cascade.ScaledChannel.capacity(), 0u);
        EXPECT_FALSE(full.s.Cascade.ScaledChannel.empty());
    }

    // With the search on, the lists get the scaled, trimmed channel as ever.
    Section searched;
    searched.s.AdaptDataIndex = 1;
    searched.s.SkipFinalEvaluation = 1;
    std::stringstream msg;
    ASSERT_TRUE(searched.run(msg));
    const std::vector<double> trimmed = trimTrailing(searched.channel);
    ASSERT_EQ(searched.s.Cascade.ScaledChannel.size(), trimmed.size());
    const double sampleRate = kSpb * kBitRate;
    for (size_t i = 0; i < trimmed.size(); ++i)
        EXPECT_EQ(searched.s.Cascade.ScaledChannel[i], trimmed[i] * sampleRate * 1.0 / sampleRate);

    Section empty;
    empty.s.SkipFinalEvaluation = 1;
    empty.s.ChannelImpulse.clear();
    std::stringstream emptyMsg;
    EXPECT_FALSE(empty.run(emptyMsg));
    EXPECT_NE(emptyMsg.str().find("ChannelImpulse vector size must be > 0.\n"), std::string::npos);
}

TEST(RxLTI_StepResp_AMI, FrequencyStepSetsTheSpectrumSize)
{
    RxLTI_StepResp_AMI s;
    s.BitRate = kBitRate;
    s.SamplesPerBit = kSpb;
    s.ChannelImpulse = {1.0, 0.5};
    s.FreqStep = 1e6;  // floor(4e10 / 1e6 + 0.5) + 1 = 40001 -> 2^15 points
    std::stringstream msg;
    ASSERT_TRUE(s.Setup(nullptr, msg) && s.Initialize(msg));
    EXPECT_EQ(s.Frequencies.size(), 32768u);
    EXPECT_DOUBLE_EQ(s.FreqStep, 0.5 * kSampleRate / 32767);
    expectSpectrumBin(s.OutputSpectrum[1234], s.OutputImpulse, 65536, 1234);

    // A negative step has no size of its own: the minimum is used.
    s.ChannelImpulse = {1.0};
    s.FreqStep = -5.0;
    ASSERT_TRUE(s.Initialize(msg));
    EXPECT_EQ(s.Frequencies.size(), 4096u);

    // An impulse longer than 4096 samples sets the size from its length.
    s.ChannelImpulse.assign(5000, 0.0);
    s.ChannelImpulse[0] = 1.0;
    s.ChannelImpulse[4999] = 0.25;
    s.FreqStep = 0.0;
    ASSERT_TRUE(s.Initialize(msg));
    EXPECT_EQ(s.Frequencies.size(), 8192u);
    expectSpectrumBin(s.OutputSpectrum[77], s.OutputImpulse, 16384, 77);
}
