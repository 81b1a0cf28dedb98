#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/FIR.h"
#include "dsp/ImpulseOperations.h"
#include "eq/FIRwParallelStepRespLists.h"
#include "eq/InterpolateStepRespData.h"

using namespace Veltramodels20200612;

namespace {

const double kBitRate = 10e9;
const int kSpb = 8;
const double kSampleRate = kBitRate * kSpb;

// A step-response table reached through the owner's slot. Shared time axis
// in column 0 (ColumnArrangement 1), or a time and a value column per
// response (ColumnArrangement 0).
struct StepTable {
    std::vector<double> columns[40];
    std::vector<double>* array = columns;
    std::vector<double>** slot() { return &array; }
};

// A driver edge r(t) = 1 - exp(-t / 20 ps); state k subtracts a_k of the edge
// delayed by one bit (de-emphasis) in list "kind" 0, or adds a pre-shoot of
// b_k one bit earlier in kind 1.
double edge(double t)
{
    return t <= 0.0 ? 0.0 : 1.0 - std::exp(-t / 20e-12);
}

double stateValue(int kind, int k, double t)
{
    const double tb = 1.0 / kBitRate;
    if (kind == 0) {
        const double a = 0.07 * (k - 1);
        return edge(t) - a * edge(t - tb);
    }
    const double b = 0.05 * k;
    return (1.0 + b) * edge(t - tb) - b * edge(t - 2 * tb);
}

void fillTable(StepTable& t, int kind, int states, int arrangement, int rows = 200, double dt = 2.5e-12)
{
    if (arrangement == 1) {
        for (int r = 0; r < rows; ++r)
            t.columns[0].push_back(r * dt);
        for (int k = 1; k <= states; ++k)
            for (int r = 0; r < rows; ++r)
                t.columns[k].push_back(stateValue(kind, k, r * dt));
    } else {
        for (int k = 1; k <= states; ++k)
            for (int r = 0; r < rows; ++r) {
                t.columns[2 * k - 2].push_back(r * dt);
                t.columns[2 * k - 1].push_back(stateValue(kind, k, r * dt));
            }
    }
}

// A lossy channel in gain per sample: a slow rise with a long tail.
std::vector<double> lossyChannel(int n = 60, double tau = 2.5)
{
    std::vector<double> h(n);
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        h[i] = (i / tau) * std::exp(-i / tau);
        sum += h[i];
    }
    for (double& v : h)
        v /= sum;
    return h;
}

std::vector<double> timesSampleRate(const std::vector<double>& h)
{
    std::vector<double> v(h);
    for (double& s : v)
        s *= kSampleRate;
    return v;
}

std::vector<double> stateTaps(StepTable& t, int states, int index, int arrangement)
{
    InterpolateStepRespData in;
    in.BitRate = kBitRate;
    in.SamplesPerBit = kSpb;
    in.StepRespIndex = index;
    in.NumStepResp = states;
    in.InterpolationType = 2;
    in.StepResp_data_values = t.slot();
    in.ColumnArrangement = arrangement;
    std::stringstream m;
    EXPECT_TRUE(in.Setup(nullptr, m)) << m.str();
    EXPECT_TRUE(in.Initialize(m)) << m.str();
    return in.OutputData;
}

// Full linear convolution, summed over ascending index of c.
std::vector<double> naiveConvolution(const std::vector<double>& c, const std::vector<double>& x)
{
    std::vector<double> y(c.size() + x.size() - 1, 0.0);
    for (size_t t = 0; t < y.size(); ++t) {
        double s = 0.0;
        for (size_t i = 0; i < c.size() && i <= t; ++i)
            if (t - i < x.size())
                s += c[i] * x[t - i];
        y[t] = s;
    }
    return y;
}

double eyeRatio(const std::vector<double>& h, double level, double* bc = nullptr, double* wc = nullptr)
{
    ImpulseOperations ops;
    double b = 0.0, w = 0.0;
    std::stringstream m;
    EXPECT_TRUE(ops.determineEyeBcWcUpperLevels(h, kSpb, level, &b, &w, m));
    if (bc)
        *bc = b;
    if (wc)
        *wc = w;
    return w / b;
}

std::vector<double> mix(const std::vector<double>& a, const std::vector<double>& b, double r)
{
    std::vector<double> t(std::max(a.size(), b.size()), 0.0);
    for (size_t k = 0; k < t.size(); ++k)
        t[k] = r * (k < a.size() ? a[k] : 0.0) + (1.0 - r) * (k < b.size() ? b[k] : 0.0);
    return t;
}

std::string fmt(double v)
{
    std::ostringstream s;
    s << v;
    return s.str();
}

struct Fixture {
    StepTable t1, t2;
    std::vector<double> channel;
    FIRwParallelStepRespLists p;
    Fixture(int n1, int n2, int arrangement = 0)
    {
        fillTable(t1, 0, n1, arrangement);
        fillTable(t2, 1, n2, arrangement);
        channel = timesSampleRate(lossyChannel());
        p.ChannelImpulse = &channel;
        p.BitRate = kBitRate;
        p.SamplesPerBit = kSpb;
        p.EQ1_NumStepResp = n1;
        p.EQ2_NumStepResp = n2;
        p.EQ1_StepRespIndex = 1;
        p.EQ2_StepRespIndex = 1;
        p.EQ1_StepResp_data_values = t1.slot();
        p.EQ2_StepResp_data_values = t2.slot();
        p.EQ1_ColumnArrangement = arrangement;
        p.EQ2_ColumnArrangement = arrangement;
    }
};

}  // namespace

TEST(FIRwParallelStepRespLists, SetupReportsFaultsInOrder)
{
    FIRwParallelStepRespLists p;
    std::stringstream msg;
    EXPECT_FALSE(p.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "ChannelImpulse vector size must be > 0.\n"
                         "EQ1_NumStepResp must be an integer >= 1.\n"
                         "EQ1_StepRespIndex must be an integer in the range [1, 0].\n"
                         "EQ1_NumStepResp and EQ2_NumStepResp must both be > 0.\n"
                         "EQ1_StepResp_data_values vector size must be > 0.\n");

    std::vector<double> ch(3, 1.0);
    FIRwParallelStepRespLists q;
    q.ChannelImpulse = &ch;
    q.BitRate = 0.0;
    q.SamplesPerBit = 3;
    q.EQ1_NumStepResp = 2;
    q.EQ2_NumStepResp = -1;
    q.AdaptForChLoss = 4;
    q.LogicLevel = 0.0;
    q.AdaptStepRespIndex = 2;
    q.RatioA1 = 1.5;
    q.AdaptRatio = 3;
    std::stringstream msg2;
    EXPECT_FALSE(q.Setup(nullptr, msg2));
    EXPECT_EQ(msg2.str(), "BitRate must be > 0.\n"
                          "SamplesPerBit must be and integer >= 4.\n"
                          "EQ2_NumStepResp must be an integer >= 0.\n"
                          "AdaptForChLoss must be an integer in the range [0, 3].\n"
                          "EQ1_NumStepResp and EQ2_NumStepResp must both be > 0.\n"
                          "LogicLevel must be > 0.\n"
                          "AdaptStepRespIndex must be an integer either 0 or 1.\n"
                          "EQ1_StepResp_data_values vector size must be > 0.\n"
                          "RatioA1 must be in the range [0, 1].\n"
                          "AdaptRatio must be either 0 or 1.\n");
}

TEST(FIRwParallelStepRespLists, SecondListAndRatioListChecks)
{
    {
        Fixture f(3, 2);
        f.p.EQ2_StepRespIndex = 3;  // EQ1's index is fine and nothing else failed
        std::stringstream msg;
        EXPECT_FALSE(f.p.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "EQ2_StepRespIndex must be an integer in the range [1, 2].\n");
    }
    {
        Fixture f(3, 2);
        f.p.EQ1_StepRespIndex = 4;  // reported even with the search on; EQ2 then not checked
        f.p.EQ2_StepRespIndex = 3;
        f.p.AdaptStepRespIndex = 1;
        std::stringstream msg;
        EXPECT_FALSE(f.p.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "EQ1_StepRespIndex must be an integer in the range [1, 3].\n");
    }
    {
        Fixture f(3, 2);
        std::vector<double>* none = nullptr;
        f.p.EQ2_StepResp_data_values = &none;
        std::stringstream msg;
        EXPECT_FALSE(f.p.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "EQ2_StepResp_data_values vector size must be > 0.\n");
    }
    {
        Fixture f(3, 2);
        f.p.AdaptRatio = 1;
        f.p.RatioA1List.clear();
        std::stringstream msg;
        EXPECT_FALSE(f.p.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "Array RatioA1List must have at least one member.\n");
    }
    {
        Fixture f(3, 2);
        f.p.AdaptRatio = 1;
        f.p.RatioA1List = {0.5, 1.25};
        std::stringstream msg;
        EXPECT_FALSE(f.p.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "RatioA1List[] values must be in the range [0, 1].\n");
    }
    {
        // An earlier fault returns false with no list message.
        Fixture f(3, 2);
        f.p.AdaptRatio = 1;
        f.p.RatioA1List.clear();
        f.p.LogicLevel = -1.0;
        std::stringstream msg;
        EXPECT_FALSE(f.p.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "LogicLevel must be > 0.\n");
    }
    {
        Fixture f(3, 2);
        std::stringstream msg;
        EXPECT_TRUE(f.p.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "");
        EXPECT_EQ(f.p.Gain, 1.0);
        ASSERT_EQ(f.p.ListChannel.size(), 1u);
        EXPECT_EQ(f.p.ListChannel[0], 1.0);
    }
}

TEST(FIRwParallelStepRespLists, ScaledChannelKeepsOneLeadingZero)
{
    Fixture f(2, 2);
    f.channel = {0.0, 0.0, 0.0, 2.0 * kSampleRate, 1.0 * kSampleRate, 0.0, 0.0};
    std::stringstream msg;
    ASSERT_TRUE(f.p.Setup(nullptr, msg));
    ASSERT_EQ(f.p.ScaledChannel.size(), 3u);
    EXPECT_EQ(f.p.ScaledChannel[0], 0.0);
    EXPECT_DOUBLE_EQ(f.p.ScaledChannel[1], 2.0);
    EXPECT_DOUBLE_EQ(f.p.ScaledChannel[2], 1.0);
}

TEST(FIRwParallelStepRespLists, ConvolutionMatchesTheStreamedFir)
{
    Fixture f(3, 2);
    std::stringstream msg;
    ASSERT_TRUE(f.p.Setup(nullptr, msg));
    ASSERT_TRUE(f.p.SetupEQ(1, 2, msg));
    ASSERT_TRUE(f.p.InitializeEQ(1, msg));
    const std::vector<double> taps = f.p.EQ1.Taps();
    ASSERT_EQ(taps, stateTaps(f.t1, 3, 2, 0));

    for (int fft = 0; fft <= 1; ++fft) {
        std::vector<double> v;
        f.p.Setup_chImp(v);
        const std::vector<double> input = v;
        ASSERT_TRUE(f.p.convolveEQ(1, fft, v, msg));

        // Reference: the taps streamed through a FIR whose taps are the
        // channel, outputs kept from the first nonzero one, at most L.
        std::vector<double> c(input);
        FIR fir;
        fir.Taps = &c;
        fir.EnableFFT = fft;
        std::stringstream scratch;
        ASSERT_TRUE(fir.Setup(nullptr, scratch));
        fir.Initialize();
        const size_t L = input.size() + taps.size();
        std::vector<double> ref;
        for (size_t j = 0; j < 2 * L && ref.size() < L; ++j) {
            fir.Input = j < taps.size() ? taps[j] : 0.0;
            fir.Run(scratch);
            if (ref.empty() && fir.Output == 0.0)
                continue;
            ref.push_back(fir.Output);
        }
        ASSERT_EQ(v.size(), ref.size()) << "fft " << fft;
        double peak = 0.0;
        for (double s : ref)
            peak = std::max(peak, std::fabs(s));
        for (size_t k = 0; k < ref.size(); ++k) {
            if (fft == 0)
                EXPECT_EQ(v[k], ref[k]) << k;
            else
                EXPECT_NEAR(v[k], ref[k], 1e-12 * peak) << k;
        }
    }

    // A channel with no nonzero sample gives the single sample 0.
    std::vector<double> silent(5, 0.0);
    ASSERT_TRUE(f.p.convolveEQ(1, 1, silent, msg));
    EXPECT_EQ(silent, std::vector<double>(1, 0.0));
    std::vector<double> empty;
    EXPECT_FALSE(f.p.convolveEQ(1, 0, empty, msg));
    std::vector<double> one(1, 1.0);
    EXPECT_FALSE(f.p.convolveEQ(1, 2, one, msg));
}

TEST(FIRwParallelStepRespLists, TruncateAndInversionRules)
{
    FIRwParallelStepRespLists p;
    std::vector<double> v = {0.0, 0.0, 1.0, 0.0, 2.0, 0.0, 0.0};
    p.truncateEQ(v);
    EXPECT_EQ(v, (std::vector<double>{1.0, 0.0, 2.0}));
    std::vector<double> z = {0.0, 0.0};
    p.truncateEQ(z);
    EXPECT_EQ(z, std::vector<double>(1, 0.0));

    EXPECT_FALSE(p.chInverted({1.0, -1.0}));  // the first of equal magnitudes counts
    EXPECT_TRUE(p.chInverted({-1.0, 1.0}));
    EXPECT_TRUE(p.chInverted({0.5, -2.0, 1.0}));
    EXPECT_FALSE(p.chInverted({}));
}

TEST(FIRwParallelStepRespLists, RunMixesBothListsWithGain)
{
    Fixture f(4, 3, 1);
    f.p.EQ1_StepRespIndex = 3;
    f.p.EQ2_StepRespIndex = 2;
    f.p.RatioA1 = 0.25;
    f.p.Gain_dB = 6.0;
    f.p.SuppressMessages = 1;  // does not silence the final evaluation
    std::stringstream msg;
    ASSERT_TRUE(f.p.Setup(nullptr, msg));
    ASSERT_TRUE(f.p.Initialize(msg));

    // Final evaluation against the brute-force combination.
    const std::vector<double> h1 = stateTaps(f.t1, 4, 3, 1), h2 = stateTaps(f.t2, 3, 2, 1);
    const std::vector<double> t =
        mix(naiveConvolution(f.p.ScaledChannel, h1), naiveConvolution(f.p.ScaledChannel, h2), 0.25);
    const double ratio = eyeRatio(t, 0.5);
    ASSERT_GT(ratio, 0.0);
    EXPECT_NEAR(f.p.BestEyeRatio, ratio, 1e-12);
    EXPECT_EQ(msg.str(), "For the selected EQ states, the open eye ratio = " + fmt(f.p.BestEyeRatio) + "\n");
    double sumT = 0.0, sumE = 0.0;
    for (double s : t)
        sumT += s;
    for (double s : f.p.EqualizedResponse)
        sumE += s;
    EXPECT_NEAR(sumE, sumT, 1e-12);

    // Unit impulse through Run: Gain x (0.25 h1 + 0.75 h2).
    const double gain = std::pow(10.0, 6.0 / 20.0);
    EXPECT_DOUBLE_EQ(f.p.Gain, gain);
    const size_t n = std::max(h1.size(), h2.size()) + 3;
    for (size_t i = 0; i < n; ++i) {
        f.p.Input = (i == 0) ? 1.0 : 0.0;
        f.p.Run(msg);
        const double a = i < h1.size() ? h1[i] : 0.0, b = i < h2.size() ? h2[i] : 0.0;
        EXPECT_NEAR(f.p.EQ1_Output, 0.25 * a * gain, 1e-15) << i;
        EXPECT_NEAR(f.p.Output, gain * (0.25 * a + 0.75 * b), 1e-15) << i;
    }
    EXPECT_EQ(f.p.SampleCount, static_cast<std::int64_t>(n));
}

TEST(FIRwParallelStepRespLists, RatioOneIsTheFirstListAlone)
{
    Fixture f(4, 3);
    f.p.EQ1_StepRespIndex = 2;
    f.p.EQ2_StepRespIndex = 3;
    f.p.RatioA1 = 1.0;
    std::stringstream msg;
    ASSERT_TRUE(f.p.Setup(nullptr, msg));
    ASSERT_TRUE(f.p.Initialize(msg));
    const std::vector<double> h1 = stateTaps(f.t1, 4, 2, 0);
    for (size_t i = 0; i < h1.size() + 5; ++i) {
        f.p.Input = (i == 0) ? 1.0 : 0.0;
        f.p.Run(msg);
        EXPECT_EQ(f.p.Output, i < h1.size() ? h1[i] : 0.0) << i;
    }
    EXPECT_NEAR(f.p.BestEyeRatio, eyeRatio(naiveConvolution(f.p.ScaledChannel, h1), 0.5), 1e-12);
}

TEST(FIRwParallelStepRespLists, SearchMatchesBruteForceCoordinateAscent)
{
    const int n1 = 6, n2 = 4;
    Fixture f(n1, n2);
    f.p.AdaptStepRespIndex = 1;
    f.p.AdaptRatio = 1;
    f.p.RatioA1List = {0.5, 0.75, 1.0, 0.25};
    std::stringstream msg;
    ASSERT_TRUE(f.p.Setup(nullptr, msg));

    // Every combination's ratio, by naive convolution.
    std::vector<std::vector<double>> r1(n1 + 1), r2(n2 + 1);
    for (int k = 1; k <= n1; ++k)
        r1[k] = naiveConvolution(f.p.ScaledChannel, stateTaps(f.t1, n1, k, 0));
    for (int k = 1; k <= n2; ++k)
        r2[k] = naiveConvolution(f.p.ScaledChannel, stateTaps(f.t2, n2, k, 0));
    const std::vector<double>& list = f.p.RatioA1List;
    auto ratioOf = [&](int i1, int i2, int c) { return eyeRatio(mix(r1[i1], r2[i2], list[c]), 0.5); };

    // Coordinate ascent, as described, on the reference ratios.
    int i1 = 1, i2 = 1, c = 0, cycles = 0;
    double best = -1e40;
    std::vector<double> seen;
    for (;;) {
        const int p1 = i1, p2 = i2, pc = c;
        for (int p = 0; p < n1 + n2 + static_cast<int>(list.size()); ++p) {
            int a = i1, b = i2, r = c;
            if (p < n1)
                a = p + 1;
            else if (p < n1 + n2)
                b = p - n1 + 1;
            else
                r = p - n1 - n2;
            const double x = ratioOf(a, b, r);
            seen.push_back(x);
            if (x > best) {
                best = x;
                i1 = a;
                i2 = b;
                c = r;
            }
        }
        ++cycles;
        if (i1 == p1 && i2 == p2 && c == pc)
            break;
    }
    // The reference must not hinge on rounding: every other trial ratio is
    // clearly apart from the best one.
    for (double x : seen) {
        if (x != best) {
            ASSERT_GT(std::fabs(x - best), 1e-9);
        }
    }
    ASSERT_GT(best, 0.0);

    ASSERT_TRUE(f.p.Initialize(msg)) << msg.str();
    EXPECT_EQ(f.p.EQ1_StepRespIndex, i1);
    EXPECT_EQ(f.p.EQ2_StepRespIndex, i2);
    EXPECT_EQ(f.p.RatioA1, list[c]);
    EXPECT_EQ(f.p.CycleCount, cycles);
    const std::string expected = "Optimization of EQ with " + std::to_string(cycles) +
                                 " cycles resulted in max open eye ratio = " + fmt(best) +
                                 " with optimized states\n"
                                 "EQ1_StepRespIndex = " +
                                 std::to_string(i1) + ",  EQ2_StepRespIndex = " + std::to_string(i2) +
                                 ",  RatioA1 = " + fmt(list[c]) +
                                 "\nFor the selected EQ states, the open eye ratio = " + fmt(best) + "\n";
    EXPECT_EQ(msg.str(), expected);
    EXPECT_NEAR(f.p.BestEyeRatio, best, 1e-12);

    // A silenced search still writes the final evaluation line.
    Fixture g(n1, n2);
    g.p.AdaptStepRespIndex = 1;
    g.p.SuppressMessages = 1;
    std::stringstream quiet;
    ASSERT_TRUE(g.p.Setup(nullptr, quiet));
    ASSERT_TRUE(g.p.Initialize(quiet));
    EXPECT_EQ(quiet.str().rfind("For the selected EQ states, the open eye ratio = ", 0), 0u);
}

TEST(FIRwParallelStepRespLists, InvertedChannelChoosesTheSameStates)
{
    Fixture pos(6, 4), neg(6, 4);
    for (double& s : neg.channel)
        s = -s;
    for (Fixture* f : {&pos, &neg}) {
        f->p.AdaptStepRespIndex = 1;
        f->p.AdaptRatio = 1;
        f->p.RatioA1List = {0.25, 0.5, 0.75};
        std::stringstream msg;
        ASSERT_TRUE(f->p.Setup(nullptr, msg));
        ASSERT_TRUE(f->p.Initialize(msg));
    }
    EXPECT_EQ(pos.p.EQ1_StepRespIndex, neg.p.EQ1_StepRespIndex);
    EXPECT_EQ(pos.p.EQ2_StepRespIndex, neg.p.EQ2_StepRespIndex);
    EXPECT_EQ(pos.p.RatioA1, neg.p.RatioA1);
    EXPECT_NEAR(pos.p.BestEyeRatio, neg.p.BestEyeRatio, 1e-12);
    // The kept response is positive-going in both cases.
    EXPECT_EQ(pos.p.EqualizedResponse, neg.p.EqualizedResponse);
}

TEST(FIRwParallelStepRespLists, SingleRatioValueIsUsedAndPrinted)
{
    Fixture f(3, 2);
    f.p.AdaptStepRespIndex = 1;
    f.p.AdaptRatio = 1;
    f.p.RatioA1 = 0.9;
    f.p.RatioA1List = {0.3};
    std::stringstream msg;
    ASSERT_TRUE(f.p.Setup(nullptr, msg));
    ASSERT_TRUE(f.p.Initialize(msg));
    EXPECT_EQ(f.p.RatioA1, 0.3);
    EXPECT_NE(msg.str().find(",  RatioA1 = 0.3\n"), std::string::npos) << msg.str();
}

TEST(FIRwParallelStepRespLists, GainAdaptations)
{
    const std::vector<double> channel = lossyChannel();
    for (int type = 1; type <= 3; ++type) {
        Fixture f(3, 2);
        f.p.AdaptForChLoss = type;
        f.p.RatioA1 = 0.5;
        f.p.LogicLevel = 0.4;
        std::stringstream msg;
        ASSERT_TRUE(f.p.Setup(nullptr, msg));
        ASSERT_TRUE(f.p.Initialize(msg));
        const std::vector<double> t = mix(naiveConvolution(f.p.ScaledChannel, stateTaps(f.t1, 3, 1, 0)),
                                          naiveConvolution(f.p.ScaledChannel, stateTaps(f.t2, 2, 1, 0)), 0.5);
        double bc = 0.0, wc = 0.0;
        const double ratio = eyeRatio(t, 0.4, &bc, &wc);
        double expected = 0.0;
        std::string line;
        if (type == 1) {
            double sum = 0.0;
            for (double s : t)
                sum += s;
            expected = 1.0 / sum;
            line = "To adapt for channel+equalizer loss at 0 Hz, a gain of ";
        } else if (type == 2) {
            ImpulseOperations ops;
            expected = ops.impulseGainAtNyquist(kBitRate, kSpb, f.p.EqualizedResponse);
            line = "To adapt for channel+equalizer loss at Nyquist ( 5e+09 ) Hz, a gain of ";
        } else {
            expected = wc > 0.0 ? 0.4 / ((bc + wc) * 0.5) : 0.4 / (bc * 0.5);
            line = "To adapt for channel+equalizer loss relative to the LogicLevel = 0.4, a gain of ";
        }
        EXPECT_NEAR(f.p.Gain, expected, 1e-9 * std::fabs(expected)) << "type " << type;
        EXPECT_DOUBLE_EQ(f.p.Gain_dB, 20.0 * std::log10(f.p.Gain));
        const std::string eyeLine =
            ratio > 0.0 ? "For the selected EQ states, the open eye ratio = " + fmt(f.p.BestEyeRatio) + "\n"
                        : std::string("For the selected EQ states, the eye is closed.\n");
        EXPECT_EQ(msg.str(), eyeLine + line + fmt(f.p.Gain_dB) + " dB is added at the equalizer output.\n");
    }
}

TEST(FIRwParallelStepRespLists, ClosedEyeGainIsTwiceLogicLevelOverBestCase)
{
    Fixture f(2, 2);
    // Heavy loss: a tail much longer than a bit.
    f.channel = timesSampleRate(lossyChannel(400, 60.0));
    f.p.AdaptForChLoss = 3;
    f.p.RatioA1 = 0.5;
    std::stringstream msg;
    ASSERT_TRUE(f.p.Setup(nullptr, msg));
    ASSERT_TRUE(f.p.Initialize(msg));
    const std::vector<double> t = mix(naiveConvolution(f.p.ScaledChannel, stateTaps(f.t1, 2, 1, 0)),
                                      naiveConvolution(f.p.ScaledChannel, stateTaps(f.t2, 2, 1, 0)), 0.5);
    double bc = 0.0, wc = 0.0;
    eyeRatio(t, 0.5, &bc, &wc);
    ASSERT_LE(wc, 0.0);
    EXPECT_LE(f.p.BestEyeRatio, 0.0);
    EXPECT_NEAR(f.p.Gain, 2.0 * 0.5 / bc, 1e-9 / bc);
    EXPECT_EQ(msg.str().rfind("For the selected EQ states, the eye is closed.\n", 0), 0u);
}

TEST(FIRwParallelStepRespLists, SilentChannelKeepsFirstStatesAndReportsClosedEye)
{
    Fixture f(3, 2);
    f.channel.assign(50, 0.0);
    f.p.AdaptStepRespIndex = 1;
    f.p.AdaptRatio = 1;
    f.p.RatioA1List = {0.4, 0.6};
    f.p.AdaptForChLoss = 3;
    f.p.Gain_dB = 0.0;
    std::stringstream msg;
    ASSERT_TRUE(f.p.Setup(nullptr, msg));
    ASSERT_TRUE(f.p.Initialize(msg));
    EXPECT_EQ(f.p.EQ1_StepRespIndex, 1);
    EXPECT_EQ(f.p.EQ2_StepRespIndex, 1);
    EXPECT_EQ(f.p.RatioA1, 0.4);
    EXPECT_EQ(f.p.BestEyeRatio, 0.0);
    EXPECT_EQ(f.p.Gain, 1.0);
    EXPECT_EQ(
        msg.str(),
        "Optimization of EQ with 1 cycles resulted in a closed eye with optimized states\n"
        "EQ1_StepRespIndex = 1,  EQ2_StepRespIndex = 1,  RatioA1 = 0.4\n"
        "For the selected EQ states, the eye is closed.\n"
        "To adapt for channel+equalizer loss relative to the LogicLevel = 0.5, a gain of 0 dB is added at "
        "the equalizer output.\n");
    f.p.Input = 0.0;
    f.p.Run(msg);
    EXPECT_EQ(f.p.Output, 0.0);
}

TEST(FIRwParallelStepRespLists, ListFailuresAreReported)
{
    // Tables of 3 rows pass the section's check but not a list's.
    StepTable s1, s2;
    fillTable(s1, 0, 2, 0, 3);
    fillTable(s2, 1, 2, 0, 3);
    std::vector<double> ch = timesSampleRate(lossyChannel());
    for (int adapt = 0; adapt <= 1; ++adapt) {
        FIRwParallelStepRespLists p;
        p.ChannelImpulse = &ch;
        p.BitRate = kBitRate;
        p.SamplesPerBit = kSpb;
        p.EQ1_NumStepResp = p.EQ2_NumStepResp = 2;
        p.EQ2_StepRespIndex = 1;
        p.EQ1_StepResp_data_values = s1.slot();
        p.EQ2_StepResp_data_values = s2.slot();
        p.AdaptStepRespIndex = adapt;
        std::stringstream msg;
        ASSERT_TRUE(p.Setup(nullptr, msg));
        EXPECT_FALSE(p.Initialize(msg));
        EXPECT_EQ(msg.str(), adapt ? "At least 4 step response values are required.\n"
                                     "Failed during optimization.\nFailed to optimize EQ settings.\n"
                                   : "At least 4 step response values are required.\nFailed setting EQ1.\n");
    }
}
