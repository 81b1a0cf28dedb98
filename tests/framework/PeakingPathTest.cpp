// The pole/zero and peaking kinds of the model run end to end: a pole/zero
// file, a list of CTLE peakings and a list of transmitter peakings, each
// through Setup, Initialize (fixed state and state search) and Run. The
// equalised impulse is checked against a reference computed here: each
// state's filter is built directly as the bilinear transform of its
// pre-warped real roots, as one polynomial ratio in 1/z, and the channel is
// convolved with its impulse by a plain sum. The state search is checked by
// measuring every state's eye on that reference.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/ImpulseOperations.h"
#include "framework/Base_SerDesFE_CTLE_Container.h"
#include "framework/Base_SerDesTxBE_CTLE.h"
#include "pz/PZ_Data.h"

using namespace Veltramodels20200612;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kRate = 1e10;
constexpr int kSps = 32;
constexpr double kFs = kRate * kSps;

// One state: gain at 0 Hz and real roots as positive frequencies in Hz.
struct State {
    double gain;
    std::vector<double> polesHz;
    std::vector<double> zerosHz;
};

std::vector<double> polyMul(const std::vector<double>& a, double c0, double c1)
{
    std::vector<double> r(a.size() + 1, 0.0);
    for (size_t i = 0; i < a.size(); ++i) {
        r[i] += a[i] * c0;
        r[i + 1] += a[i] * c1;
    }
    return r;
}

// n samples of the impulse response of
//     gain * prod(1 + s/wz) / prod(1 + s/wp)
// under s = 2 fs (1 - q)/(1 + q), q = 1/z, every root w pre-warped to
// 2 fs tan(w / (2 fs)). A pole gives wp (1 + q) / ((wp + 2fs) + (wp - 2fs) q),
// a zero ((wz + 2fs) + (wz - 2fs) q) / (wz (1 + q)).
std::vector<double> referenceImpulse(const State& s, size_t n)
{
    std::vector<double> num{s.gain}, den{1.0};
    for (double f : s.polesHz) {
        const double w = 2.0 * kFs * std::tan(kTwoPi * f / (2.0 * kFs));
        num = polyMul(num, w, 0.0);
        den = polyMul(den, w + 2.0 * kFs, w - 2.0 * kFs);
    }
    for (double f : s.zerosHz) {
        const double w = 2.0 * kFs * std::tan(kTwoPi * f / (2.0 * kFs));
        num = polyMul(num, (w + 2.0 * kFs) / w, (w - 2.0 * kFs) / w);
    }
    for (size_t k = s.zerosHz.size(); k < s.polesHz.size(); ++k)
        num = polyMul(num, 1.0, 1.0);
    std::vector<double> h(n, 0.0);
    for (size_t i = 0; i < n; ++i) {
        double y = i < num.size() ? num[i] : 0.0;
        for (size_t k = 1; k < den.size() && k <= i; ++k)
            y -= den[k] * h[i - k];
        h[i] = y / den[0];
    }
    return h;
}

// 4 leading zeros, a 1.5 GHz single-pole loss over 40 UI with a 12 %
// reflection 3 UI later, then a few zeros; gain per sample.
std::vector<double> channel()
{
    const size_t length = 40 * kSps;
    std::vector<double> h(length + 6, 0.0);
    const double a = std::exp(-kTwoPi * 1.5e9 / kFs);
    for (size_t n = 4; n < length; ++n) {
        h[n] += (1.0 - a) * std::pow(a, static_cast<double>(n - 4));
        if (n >= 4 + 3 * kSps)
            h[n] += 0.12 * (1.0 - a) * std::pow(a, static_cast<double>(n - 4 - 3 * kSps));
    }
    return h;
}

std::vector<double> convolve(const std::vector<double>& a, const std::vector<double>& b)
{
    std::vector<double> y(a.size() + b.size() - 1, 0.0);
    for (size_t i = 0; i < a.size(); ++i)
        for (size_t j = 0; j < b.size(); ++j)
            y[i + j] += a[i] * b[j];
    return y;
}

// The equalised channel of one state: the channel without its trailing
// zeros, times the output gain, through the state's filter.
std::vector<double> reference(const State& s, double outputGain)
{
    std::vector<double> ch = channel();
    while (ch.back() == 0.0)
        ch.pop_back();
    for (double& v : ch)
        v *= outputGain;
    return convolve(ch, referenceImpulse(s, 6000));
}

double eyeRatio(const std::vector<double>& response)
{
    ImpulseOperations ops(nullptr);
    double bc = 0.0, wc = 0.0;
    std::stringstream m;
    EXPECT_TRUE(ops.determineEyeBcWcUpperLevels(response, kSps, 1.0, &bc, &wc, m)) << m.str();
    return wc / bc;
}

// The state a search should choose: the first with the largest ratio.
int bestState(const std::vector<State>& states, double* ratio)
{
    int best = 0;
    std::vector<double> r;
    for (const State& s : states)
        r.push_back(eyeRatio(reference(s, 1.0)));
    for (size_t k = 1; k < r.size(); ++k)
        if (r[k] > r[best])
            best = static_cast<int>(k);
    // The test is meant to tell the states apart clearly.
    for (size_t k = 0; k < r.size(); ++k)
        if (static_cast<int>(k) != best) {
            EXPECT_GT(r[best] - r[k], 1e-3 * std::fabs(r[best]));
        }
    *ratio = r[best];
    // The lists put the best state in the middle, so neither a search that
    // stays at the first state nor one that ends at the last passes.
    EXPECT_EQ(best + 1, 2);
    return best + 1;
}

void expectImpulse(const Base_SerDesTxBE_CTLE& be, const std::vector<double>& want)
{
    const std::vector<double> ch = channel();
    ASSERT_GE(be.ImpulseOut.size(), ch.size() - 6);
    ASSERT_LE(be.ImpulseOut.size(), want.size() + 1);
    double peak = 0.0;
    for (double v : want)
        peak = std::max(peak, std::fabs(v));
    for (size_t i = 0; i < be.ImpulseOut.size(); ++i) {
        ASSERT_NEAR(be.ImpulseOut[i].imag(), i < want.size() ? want[i] : 0.0, 1e-11 * peak) << i;
        ASSERT_DOUBLE_EQ(be.ImpulseOut[i].real(), static_cast<double>(i) / kFs) << i;
    }
}

void commonSettings(Base_SerDesTxBE_CTLE& be, int adapt, int index)
{
    be.SymbolRate = kRate;
    be.SamplesPerSymbol = kSps;
    be.OutputGain = 0.8;
    be.NumData1 = 3;
    be.AdaptForChannel = adapt;
    be.Data1Index = index;
    be.ImpulseIn = channel();
}

// Runs one cycle, returns false on a failed stage.
bool cycle(Base_SerDesTxBE_CTLE& be)
{
    return be.Setup() && be.Initialize() && be.Run();
}

// Fixed state, then a search, then the driver's way of reusing the chosen
// state with the search off; every output against the reference.
void runEndToEnd(const std::vector<State>& states, const std::string& statusLine,
                 void (*configure)(Base_SerDesTxBE_CTLE&, int, int))
{
    {
        Base_SerDesTxBE_CTLE be;
        configure(be, 0, 3);
        ASSERT_TRUE(cycle(be)) << be.msg.str();
        EXPECT_EQ(be.msg.str(), statusLine);
        EXPECT_EQ(be.Data1Index, 3);
        expectImpulse(be, reference(states[2], 0.8));
        EXPECT_TRUE(be.Finalize());
        // A second cycle builds fresh records and gives the same result.
        ASSERT_TRUE(cycle(be)) << be.msg.str();
        expectImpulse(be, reference(states[2], 0.8));
    }
    double ratio = 0.0;
    const int best = bestState(states, &ratio);
    Base_SerDesTxBE_CTLE be;
    configure(be, 1, 1);
    ASSERT_TRUE(cycle(be)) << be.msg.str();
    EXPECT_EQ(be.Data1Index, best);
    const std::string text = be.msg.str();
    std::ostringstream head;
    head << statusLine << "Optimization of EQ over count = 3 states resulting in max open eye ratio = ";
    ASSERT_EQ(text.substr(0, head.str().size()), head.str()) << text;
    EXPECT_NEAR(std::stod(text.substr(head.str().size())), ratio, 1e-5 * ratio);
    const std::string tail = " with optimized states:\nData1Index = " + std::to_string(best) + "\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    const std::vector<double> want = reference(states[best - 1], 0.8);
    expectImpulse(be, want);

    // The model's own impulse: the chosen state's filter alone.
    std::vector<double> own(400, 0.0);
    ASSERT_TRUE(be.GetModelImpulse(0.0, own)) << be.msg.str();
    const std::vector<double> h = referenceImpulse(states[best - 1], 400);
    ASSERT_EQ(own.size(), 400u);
    for (size_t i = 0; i < own.size(); ++i)
        ASSERT_NEAR(own[i], h[i], 1e-12 * std::fabs(h[0]) + 1e-12) << i;

    // Later columns: search off, the chosen state kept.
    EXPECT_TRUE(be.Finalize());
    be.AdaptForChannel = 0;
    be.Data1Index = best;
    ASSERT_TRUE(cycle(be)) << be.msg.str();
    EXPECT_EQ(be.msg.str(), statusLine);
    expectImpulse(be, want);
}

// ---------------------------------------------------------------- pole/zero file

std::string g_dir;
std::string g_name;

void fileModel(Base_SerDesTxBE_CTLE& be, int adapt, int index)
{
    commonSettings(be, adapt, index);
    be.ModelType = 2;
    be.ModelBuilderDirName = &g_dir[0];
    be.PZ_Data1Text = &g_name[0];
}

TEST(PeakingPath, PoleZeroFileEndToEnd)
{
    g_dir = ::testing::TempDir();
    g_name = "peaking_path_sets.txt";
    {
        std::ofstream f(g_dir + "/" + g_name);
        f << "! gain, poles, zeros, complex poles, complex zeros\n"
             "# GHz\n"
             "1.0 [4, 30] [] [] []\n"
             "1.0 [6, 50] [1.2] [] []\n"
             "0.9 [5, 40] [2] [] []\n";
    }
    const std::vector<State> states = {
        {1.0, {4e9, 30e9}, {}}, {1.0, {6e9, 50e9}, {1.2e9}}, {0.9, {5e9, 40e9}, {2e9}}};
    runEndToEnd(states, "Back end (BE) model based on set of poles and zeros data.\n", fileModel);
    std::remove((g_dir + "/" + g_name).c_str());
}

// ---------------------------------------------------------------- CTLE peaking list

void ctleModel(Base_SerDesTxBE_CTLE& be, int adapt, int index)
{
    commonSettings(be, adapt, index);
    be.ModelType = 1;
    be.PeakingModel = 0;
    be.FPeak = 5e9;
    be.dBPeakList = {3.0, 10.0, 6.02};
}

TEST(PeakingPath, PeakingListEndToEnd)
{
    // Table rows for 3, 10 and 6.02 dB at 3.125 GHz, scaled to 5 GHz.
    const double s = 5e9 / 3.125e9;
    const std::vector<State> states = {{1.0, {3.03e9 * s, 4.54e9 * s}, {1.39e9 * s}},
                                       {1.0, {2.5775e9 * s, 3.985e9 * s}, {0.5e9 * s}},
                                       {1.0, {2.8e9 * s, 4.03e9 * s}, {0.855e9 * s}}};
    runEndToEnd(states, "Back end (BE) model based on list of peaking data.\n", ctleModel);
}

// ---------------------------------------------------------------- Tx peaking list

void txPeakModel(Base_SerDesTxBE_CTLE& be, int adapt, int index)
{
    commonSettings(be, adapt, index);
    be.ModelType = 1;
    be.PeakingModel = 1;
    be.TxBE_vWidth = 0.25;
    be.TxBE_vWidthMode = 0;
    be.TxBE_vPeakList = {0.0, 0.6, 0.3};
}

// The Tx peaking design of amplitude a over 0.25 UI at 10 GBd: a zero at
// P1/(1 + a) and poles at P1 = 1/(2 pi 25 ps) and 10 P1.
State txState(double a)
{
    const double p1 = 1.0 / (kTwoPi * 25e-12);
    return {1.0, {p1, 10.0 * p1}, {p1 / (1.0 + a)}};
}

TEST(PeakingPath, TxPeakingListEndToEnd)
{
    const std::vector<State> states = {txState(0.0), txState(0.6), txState(0.3)};
    runEndToEnd(states, "Back end (BE) model based on list of peaking data.\n", txPeakModel);
}

TEST(PeakingPath, TxPeakingRecords)
{
    Base_SerDesFE_CTLE fe;
    fe.SymbolRate = kRate;
    fe.SamplesPerSymbol = kSps;
    fe.ModelType = 1;
    fe.PeakingModel = 1;
    fe.NumData1 = 3;
    fe.AdaptForChannel = 0;
    fe.Data1Index = 1;
    fe.vPeakList = {0.004, 0.25, 0.65};
    fe.vWidth = 0.3;
    fe.vWidthMode = 1;
    ASSERT_TRUE(fe.Setup()) << fe.msg.str();
    EXPECT_EQ(fe.msg.str(), "");
    const PZ_Data* r = fe.Container->PZ_Records;
    ASSERT_NE(r, nullptr);
    // Width as the half-amplitude decay time: tau = 30 ps / ln 2.
    const double p1 = std::log(2.0) / (kTwoPi * 30e-12);
    const double a[3] = {0.0, 0.25, 0.65};  // 0.004 is taken as 0
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(r[i].gain, 1.0);
        ASSERT_EQ(r[i].poles.size(), 2u);
        ASSERT_EQ(r[i].zeros.size(), 1u);
        EXPECT_NEAR(r[i].poles[0], kTwoPi * p1, 1e-6 * p1);
        EXPECT_NEAR(r[i].poles[1], kTwoPi * 10.0 * p1, 1e-5 * p1);
        EXPECT_NEAR(r[i].zeros[0], kTwoPi * p1 / (1.0 + a[i]), 1e-6 * p1);
        EXPECT_TRUE(r[i].cpoles.empty());
        EXPECT_TRUE(r[i].czeros.empty());
    }
    EXPECT_EQ(r[0].zeros[0], r[0].poles[0]);
}

TEST(PeakingPath, TxPeakingWidthRaisedToTwoSamples)
{
    // 32 samples per UI: the width is raised to 0.07 UI before the design.
    Base_SerDesFE_CTLE fe;
    fe.SymbolRate = kRate;
    fe.SamplesPerSymbol = kSps;
    fe.ModelType = 1;
    fe.PeakingModel = 1;
    fe.NumData1 = 1;
    fe.vPeakList = {0.3};
    fe.vWidth = 0.05;
    ASSERT_TRUE(fe.Setup()) << fe.msg.str();
    EXPECT_EQ(fe.msg.str(),
              "vWidth is set less than 0.07 which is the lower limit allowed for SamplesPerSymbol = 32 "
              "and will be set to this lower limit.\n");
    EXPECT_DOUBLE_EQ(fe.vWidth, 0.07);
    const PZ_Data* r = fe.Container->PZ_Records;
    ASSERT_NE(r, nullptr);
    EXPECT_NEAR(r[0].poles[0], 1.0 / 7e-12, 1e-6 / 7e-12);
    // 10 P1 would lie above a quarter of 320 GS/s.
    EXPECT_NEAR(r[0].poles[1], kTwoPi * 80e9, 1e-3);
}

TEST(PeakingPath, TxPeakingDesignerFailure)
{
    const std::string end = "\nERROR:  Generating peaking filter poles and zero failed.\n";
    // With the search on, the list values and the width are not checked
    // before the design; the designer refuses them.
    Base_SerDesFE_CTLE fe;
    fe.SymbolRate = kRate;
    fe.SamplesPerSymbol = kSps;
    fe.ModelType = 1;
    fe.PeakingModel = 1;
    fe.NumData1 = 2;
    fe.AdaptForChannel = 1;
    fe.vPeakList = {0.2, 0.7};
    EXPECT_FALSE(fe.Setup());
    EXPECT_EQ(fe.msg.str(), "vPeak must be a value in the range [0, 0.65].\n" + end);

    Base_SerDesFE_CTLE narrow;
    narrow.SymbolRate = kRate;
    narrow.SamplesPerSymbol = kSps;
    narrow.ModelType = 1;
    narrow.PeakingModel = 1;
    narrow.NumData1 = 1;
    narrow.AdaptForChannel = 1;
    narrow.vPeakList = {0.2};
    narrow.vWidth = 0.01;
    EXPECT_FALSE(narrow.Setup());
    EXPECT_EQ(narrow.msg.str(),
              "vWidth must span at least one sample (vWidth x SamplesPerSymbol >= 1).\n" + end);

    // Through the back end the same failure ends Setup.
    Base_SerDesTxBE_CTLE be;
    txPeakModel(be, 1, 1);
    be.TxBE_vPeakList = {0.1, 0.2, -0.5};
    EXPECT_FALSE(be.Setup());
    const std::string text = be.msg.str();
    ASSERT_GE(text.size(), end.size());
    EXPECT_EQ(text.substr(text.size() - end.size()), end) << text;
}

}  // namespace
