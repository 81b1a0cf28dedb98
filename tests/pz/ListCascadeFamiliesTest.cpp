// The behaviour both cascades share, checked once over both list families:
// the step-response cascade (states from a step-response table) and the
// pole/zero cascade (states from pole/zero sets). Each family names its own
// fields and message words; the expectations come from the brute-force
// references in tests/support, which build every state's taps without the
// cascade (the interpolator, or a fresh pole/zero impulse) and convolve them
// naively.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "eq/FIRwMultipleStepRespLists.h"
#include "eq/InterpolateStepRespData.h"
#include "pz/FIRwMultiplePZLists.h"
#include "pz/PZImpulse.h"
#include "tests/support/CascadeReference.h"

using namespace Veltramodels20200612;
using cascaderef::fmt;

namespace {

constexpr double kTwoPi = 6.283185307179586;

// Step-response family: list n's table holds driver-like steps whose
// overshoot grows with the state, at 4 Gb/s and 8 samples per bit.
struct StepFamily {
    using Cascade = FIRwMultipleStepRespLists;
    static constexpr double kBitRate = 4e9;
    static constexpr int kSpb = 8;
    static constexpr const char* kIndex = "StepRespIndex";
    static constexpr const char* kCount = "NumStepResp";
    static constexpr const char* kAdapt = "AdaptStepRespIndex";
    static constexpr const char* kSequential = "Sequential optimization of EQ with ";
    static constexpr const char* kFinalOpen = "For the selected EQ states the open eye ratio = ";

    std::vector<std::vector<double>> cols[4];
    std::vector<double>* slots[4] = {nullptr, nullptr, nullptr, nullptr};

    StepFamily()
    {
        for (int n = 0; n < 4; ++n) {
            const int states = 6;
            const int rows = 60;
            const double dt = 25e-12;
            cols[n].assign(states + 1, std::vector<double>(rows));
            for (int j = 0; j < rows; ++j) {
                const double time = j * dt;
                cols[n][0][j] = time;
                for (int k = 0; k < states; ++k) {
                    // List 2 runs the other way: state 1 is its strongest.
                    const double emphasis = n == 0 ? 0.17 * k : (n == 1 ? 0.09 * (5 - k) : 0.09 * k);
                    const double rise = (n == 0 ? 30e-12 : 45e-12);
                    cols[n][k + 1][j] =
                        (1.0 - std::exp(-time / rise)) * (1.0 + emphasis * std::exp(-time / 200e-12));
                }
            }
            slots[n] = cols[n].data();
        }
    }
    void configure(Cascade& c, std::vector<double>* channel, const int counts[4])
    {
        c.ChannelImpulse = channel;
        c.BitRate = kBitRate;
        c.SamplesPerBit = kSpb;
        c.EQ1_NumStepResp = counts[0];
        c.EQ2_NumStepResp = counts[1];
        c.EQ3_NumStepResp = counts[2];
        c.EQ4_NumStepResp = counts[3];
        c.EQ1_StepResp_data_values = &slots[0];
        c.EQ2_StepResp_data_values = &slots[1];
        c.EQ3_StepResp_data_values = &slots[2];
        c.EQ4_StepResp_data_values = &slots[3];
        c.EQ1_ColumnArrangement = c.EQ2_ColumnArrangement = 1;
        c.EQ3_ColumnArrangement = c.EQ4_ColumnArrangement = 1;
    }
    static int& index(Cascade& c, int n)
    {
        int* f[4] = {&c.EQ1_StepRespIndex, &c.EQ2_StepRespIndex, &c.EQ3_StepRespIndex, &c.EQ4_StepRespIndex};
        return *f[n - 1];
    }
    static void adapt(Cascade& c, int adapt, int type)
    {
        c.AdaptStepRespIndex = adapt;
        c.AdaptStepRespIndexType = type;
    }
    std::vector<double> taps(int n, int state)
    {
        InterpolateStepRespData in;
        in.BitRate = kBitRate;
        in.SamplesPerBit = kSpb;
        in.StepRespIndex = state;
        in.NumStepResp = 6;
        in.InterpolationType = 2;
        in.StepResp_data_values = &slots[n - 1];
        in.ColumnArrangement = 1;
        std::stringstream m;
        EXPECT_TRUE(in.Setup(nullptr, m) && in.Initialize(m)) << m.str();
        return in.OutputData;
    }
};

// Pole/zero family: peaking states (a zero moving down with the state, poles
// at 6 and 9 GHz, or 7 and 12 GHz in the later lists), at 10 Gb/s and 16
// samples per bit, roots pre-warped as the pole/zero section hands them.
struct PoleZeroFamily {
    using Cascade = FIRwMultiplePZLists;
    static constexpr double kBitRate = 10e9;
    static constexpr int kSpb = 16;
    static constexpr const char* kIndex = "DataIndex";
    static constexpr const char* kCount = "NumData";
    static constexpr const char* kAdapt = "AdaptDataIndex";
    static constexpr const char* kSequential = "Optimization of EQ with ";
    static constexpr const char* kFinalOpen = "For the selected EQ states, the open eye ratio = ";

    std::vector<std::vector<double>> poles[4], zeros[4];
    std::unique_ptr<PZImpulse[]> states[4];

    PoleZeroFamily()
    {
        const double fs = kBitRate * kSpb;
        for (int n = 0; n < 4; ++n) {
            states[n].reset(new PZImpulse[6]);
            poles[n].resize(6);
            zeros[n].resize(6);
            for (int k = 0; k < 6; ++k) {
                const double p1 = n == 0 ? 6e9 : 7e9, p2 = n == 0 ? 9e9 : 12e9;
                poles[n][k] = {PZImpulse::warpRoot(-kTwoPi * p1, fs), PZImpulse::warpRoot(-kTwoPi * p2, fs)};
                // List 2 runs the other way: state 1 is its strongest.
                const double zeroHz =
                    n == 0 ? 5e9 - 0.8e9 * k : (n == 1 ? 2.5e9 + 0.5e9 * k : 5e9 - 0.5e9 * k);
                zeros[n][k] = {PZImpulse::warpRoot(-kTwoPi * zeroHz, fs)};
                PZImpulse& s = states[n][k];
                s.BitRate = kBitRate;
                s.SamplesPerBit = kSpb;
                s.GainDC = 1.0;
                s.WarpFreq = 1;
                s.AutoSetWarpFreq = 0;
                s.Poles = &poles[n][k];
                s.Zeros = &zeros[n][k];
            }
        }
    }
    void configure(Cascade& c, std::vector<double>* channel, const int counts[4])
    {
        c.ChannelImpulse = channel;
        c.BitRate = kBitRate;
        c.SamplesPerBit = kSpb;
        c.EQ1_NumData = counts[0];
        c.EQ2_NumData = counts[1];
        c.EQ3_NumData = counts[2];
        c.EQ4_NumData = counts[3];
        c.EQ1_Data_data_values = states[0].get();
        c.EQ2_Data_data_values = states[1].get();
        c.EQ3_Data_data_values = states[2].get();
        c.EQ4_Data_data_values = states[3].get();
    }
    static int& index(Cascade& c, int n)
    {
        int* f[4] = {&c.EQ1_DataIndex, &c.EQ2_DataIndex, &c.EQ3_DataIndex, &c.EQ4_DataIndex};
        return *f[n - 1];
    }
    static void adapt(Cascade& c, int adapt, int type)
    {
        c.AdaptDataIndex = adapt;
        c.AdaptDataIndexType = type;
    }
    std::vector<double> taps(int n, int state)
    {
        std::vector<double> t, h;
        PZImpulse p = states[n - 1][state - 1];
        p.TimeArray = &t;
        p.ImpulseArray = &h;
        std::stringstream m;
        EXPECT_TRUE(p.Setup(nullptr, m) && p.Initialize(m)) << m.str();
        return h;
    }
};

// A lossy channel with a leading and trailing zeros, in gain per second: a
// double-exponential pulse a few bits wide.
template <class F> std::vector<double> channel(double tauBits, double sign = 1.0)
{
    const double ts = 1.0 / F::kBitRate / F::kSpb, tau = tauBits / F::kBitRate;
    std::vector<double> h(2, 0.0);
    for (int i = 0; i < 30 * F::kSpb; ++i)
        h.push_back(sign * (std::exp(-i * ts / tau) - std::exp(-i * ts / (tau / 4))) * F::kSpb * F::kBitRate);
    h.resize(h.size() + 5, 0.0);
    return h;
}

template <class F> class ListCascadeFamilies : public ::testing::Test {
public:
    F family;
    // Brute-force trial of one combination of lists 1 and 2 (0 = not used).
    cascaderef::Trial trial(const std::vector<double>& ch, int i1, int i2)
    {
        std::vector<std::vector<double>> taps{family.taps(1, i1)};
        if (i2 > 0)
            taps.push_back(family.taps(2, i2));
        return cascaderef::referenceTrial(cascaderef::scaledChannel(ch, F::kSpb, F::kBitRate), taps, F::kSpb);
    }
    std::string name(int n, const char* field) { return "EQ" + std::to_string(n) + "_" + field; }
    template <class A> void expectSequential(std::vector<double>& ch, const A& a)
    {
        typename F::Cascade c;
        const int counts[4] = {4, 3, 0, 0};
        family.configure(c, &ch, counts);
        F::adapt(c, 1, 1);
        std::stringstream msg;
        ASSERT_TRUE(c.Setup(nullptr, msg)) << msg.str();
        ASSERT_TRUE(c.Initialize(msg)) << msg.str();
        EXPECT_EQ(F::index(c, 1), a.idx[0]);
        EXPECT_EQ(F::index(c, 2), a.idx[1]);
        EXPECT_EQ(c.CycleCount, a.cycles);
    }
};

using Families = ::testing::Types<StepFamily, PoleZeroFamily>;
TYPED_TEST_SUITE(ListCascadeFamilies, Families);

TYPED_TEST(ListCascadeFamilies, SetupRulesInOrderWithTheFamilysNames)
{
    using F = TypeParam;
    std::vector<double> ch = channel<F>(1.5);
    {
        typename F::Cascade c;
        const int counts[4] = {2, -1, 0, 2};
        this->family.configure(c, &ch, counts);
        F::index(c, 1) = 5;
        c.AdaptForChLoss = 7;
        std::stringstream msg;
        EXPECT_FALSE(c.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), this->name(3, F::kCount) + " must be an integer >= 1.\n" +
                                 this->name(2, F::kCount) + " must be an integer >= 0.\n" +
                                 this->name(1, F::kIndex) +
                                 " must be an integer in the range [1, 2].\n"
                                 "AdaptForChLoss must be an integer in the range [0, 3].\n");
    }
    {
        // Of EQ2 ... EQ4 only the first index out of range is reported.
        typename F::Cascade c;
        const int counts[4] = {2, 3, 2, 0};
        this->family.configure(c, &ch, counts);
        F::index(c, 2) = 4;
        F::index(c, 3) = 9;
        std::stringstream msg;
        EXPECT_FALSE(c.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), this->name(2, F::kIndex) + " must be an integer in the range [1, 3].\n");
    }
    {
        // A gap (EQ3 without EQ2), EQ2 without EQ1 and a bad switch.
        typename F::Cascade c;
        const int counts[4] = {0, 0, 2, 0};
        this->family.configure(c, &ch, counts);
        F::adapt(c, 3, 1);
        c.LogicLevel = 0.0;
        c.AGC_Level = -1.0;
        std::stringstream msg;
        EXPECT_FALSE(c.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), this->name(2, F::kCount) +
                                 " must be an integer >= 1.\nLogicLevel must be > 0.\n"
                                 "AGC_Level must be > 0.\n" +
                                 std::string(F::kAdapt) + " must be an integer either 0 or 1.\n");
    }
    {
        // The trimmed channel keeps one leading zero, in gain per sample.
        typename F::Cascade c;
        const int counts[4] = {2, 0, 0, 0};
        this->family.configure(c, &ch, counts);
        std::stringstream msg;
        ASSERT_TRUE(c.Setup(nullptr, msg)) << msg.str();
        EXPECT_TRUE(
            cascaderef::bitwiseEqual(c.ScaledChannel, cascaderef::scaledChannel(ch, F::kSpb, F::kBitRate)));
        EXPECT_EQ(c.ScaledChannel[0], 0.0);
        EXPECT_NE(c.ScaledChannel[1], 0.0);
    }
}

TYPED_TEST(ListCascadeFamilies, ExhaustiveSearchPicksTheBruteForceArgmax)
{
    using F = TypeParam;
    std::vector<double> ch = channel<F>(1.2);
    double best = -1e40, second = -1e40;
    int b1 = 0, b2 = 0;
    for (int i1 = 1; i1 <= 4; ++i1)
        for (int i2 = 1; i2 <= 3; ++i2) {
            const double r = this->trial(ch, i1, i2).ratio;
            if (r > best) {
                second = best;
                best = r;
                b1 = i1;
                b2 = i2;
            } else if (r > second) {
                second = r;
            }
        }
    // Only a clear optimum tells a wrong search apart.
    ASSERT_GT(best - second, 1e-6);
    ASSERT_FALSE(b1 == 1 && b2 == 1);

    typename F::Cascade c;
    const int counts[4] = {4, 3, 0, 0};
    this->family.configure(c, &ch, counts);
    F::adapt(c, 1, 0);
    std::stringstream msg;
    ASSERT_TRUE(c.Setup(nullptr, msg)) << msg.str();
    ASSERT_TRUE(c.Initialize(msg)) << msg.str();
    EXPECT_EQ(F::index(c, 1), b1);
    EXPECT_EQ(F::index(c, 2), b2);
    EXPECT_EQ(c.StateCount, 12);
    EXPECT_EQ(c.CycleCount, 1);
    const std::string head = "Optimization of EQ over count = 12 states resulting in max open eye ratio = ";
    ASSERT_EQ(msg.str().substr(0, head.size()), head) << msg.str();
    EXPECT_NEAR(std::stod(msg.str().substr(head.size())), best, 1e-5 * std::fabs(best));
    const std::string tail = " with optimized states\n" + this->name(1, F::kIndex) + " = " +
                             std::to_string(b1) + ",  " + this->name(2, F::kIndex) + " = " +
                             std::to_string(b2) + "\n";
    ASSERT_GE(msg.str().size(), tail.size());
    EXPECT_EQ(msg.str().substr(msg.str().size() - tail.size()), tail);

    // The final evaluation is the direct-form response of the choice.
    const cascaderef::Trial want = this->trial(ch, b1, b2);
    ASSERT_EQ(c.EqualizedResponse.size(), want.response.size());
    double peak = 0.0;
    for (double v : want.response)
        peak = std::max(peak, std::fabs(v));
    for (size_t i = 0; i < want.response.size(); ++i)
        ASSERT_NEAR(c.EqualizedResponse[i], want.response[i], 1e-12 * peak) << i;
    EXPECT_NEAR(c.BestEyeRatio, want.ratio, 1e-9 * std::fabs(want.ratio));
}

// Coordinate ascent over 4 x 3 states on brute-force ratios: the chosen
// indexes, the cycle count and the best ratio; firstCycle receives the
// indexes after the first cycle.
struct Ascent {
    int idx[2] = {1, 1};
    int firstCycle[2] = {1, 1};
    int cycles = 0;
    double best = -1e40;
};

template <class T> Ascent ascend(T& test, const std::vector<double>& ch)
{
    double ratios[5][4];
    for (int i1 = 1; i1 <= 4; ++i1)
        for (int i2 = 1; i2 <= 3; ++i2)
            ratios[i1][i2] = test.trial(ch, i1, i2).ratio;
    Ascent a;
    int prev[2] = {1, 1};
    for (;;) {
        for (int p = 0; p < 7; ++p) {
            int cand[2] = {a.idx[0], a.idx[1]};
            const int list = p < 4 ? 0 : 1;
            cand[list] = p < 4 ? p + 1 : p - 3;
            const double r = ratios[cand[0]][cand[1]];
            if (r > a.best) {
                a.best = r;
                a.idx[list] = cand[list];
            }
        }
        if (++a.cycles == 1) {
            a.firstCycle[0] = a.idx[0];
            a.firstCycle[1] = a.idx[1];
        }
        if (a.idx[0] == prev[0] && a.idx[1] == prev[1])
            break;
        prev[0] = a.idx[0];
        prev[1] = a.idx[1];
    }
    return a;
}

TYPED_TEST(ListCascadeFamilies, SequentialSearchRunsOnWhileOnlyEQ2Moved)
{
    using F = TypeParam;
    // On a mild enough channel EQ1 keeps its first state in the first cycle
    // and only EQ2 moves: the search must still run a second cycle.
    const double losses[] = {0.3, 0.2, 0.15, 0.1, 0.5, 0.7};
    bool found = false;
    for (double loss : losses) {
        std::vector<double> ch = channel<F>(loss);
        const Ascent a = ascend(*this, ch);
        if (a.firstCycle[0] != 1 || a.firstCycle[1] == 1)
            continue;
        found = true;
        SCOPED_TRACE(loss);
        EXPECT_GE(a.cycles, 2);
        this->expectSequential(ch, a);
        break;
    }
    ASSERT_TRUE(found) << "no channel of the list moves EQ2 alone in the first cycle";
}

TYPED_TEST(ListCascadeFamilies, SequentialSearchAgainstTheAscentReference)
{
    using F = TypeParam;
    std::vector<double> ch = channel<F>(1.2);
    const Ascent a = ascend(*this, ch);
    const int idx[2] = {a.idx[0], a.idx[1]};
    const int cycles = a.cycles;
    const double seqBest = a.best;

    typename F::Cascade c;
    const int counts[4] = {4, 3, 0, 0};
    this->family.configure(c, &ch, counts);
    F::adapt(c, 1, 1);
    std::stringstream msg;
    ASSERT_TRUE(c.Setup(nullptr, msg)) << msg.str();
    ASSERT_TRUE(c.Initialize(msg)) << msg.str();
    EXPECT_EQ(F::index(c, 1), idx[0]);
    EXPECT_EQ(F::index(c, 2), idx[1]);
    EXPECT_EQ(c.CycleCount, cycles);
    const std::string head =
        std::string(F::kSequential) + std::to_string(cycles) + " cycles resulted in max open eye ratio = ";
    ASSERT_EQ(msg.str().substr(0, head.size()), head) << msg.str();
    EXPECT_NEAR(std::stod(msg.str().substr(head.size())), seqBest, 1e-5 * std::fabs(seqBest));
}

TYPED_TEST(ListCascadeFamilies, FixedStatesEvaluateAdaptTheGainAndRun)
{
    using F = TypeParam;
    std::vector<double> ch = channel<F>(0.5);
    typename F::Cascade c;
    const int counts[4] = {4, 3, 0, 0};
    this->family.configure(c, &ch, counts);
    F::index(c, 1) = 3;
    F::index(c, 2) = 2;
    c.AdaptForChLoss = 1;
    c.AGC_Level = 0.7;
    std::stringstream msg;
    ASSERT_TRUE(c.Setup(nullptr, msg)) << msg.str();
    ASSERT_TRUE(c.Initialize(msg)) << msg.str();
    const cascaderef::Trial want = this->trial(ch, 3, 2);
    ASSERT_GT(want.ratio, 0.0) << "the case is meant to have an open eye";
    double sum = 0.0;
    for (double v : want.response)
        sum += v;
    EXPECT_NEAR(c.Gain, 0.7 / sum, 1e-12 * std::fabs(0.7 / sum));
    EXPECT_EQ(c.Gain_dB, 20.0 * std::log10(std::fabs(c.Gain)));
    EXPECT_EQ(msg.str(), std::string(F::kFinalOpen) + fmt(c.BestEyeRatio) +
                             "\nTo adapt channel+equalizer loss for 0.7 level at 0 Hz, a gain of " +
                             fmt(c.Gain_dB) + " dB is added at the equalizer output.\n");
    EXPECT_NEAR(c.BestEyeRatio, want.ratio, 1e-9 * std::fabs(want.ratio));

    // Run streams the scaled channel through both lists and the gain.
    const std::vector<double> x = cascaderef::scaledChannel(ch, F::kSpb, F::kBitRate);
    const std::vector<double> y = cascaderef::naiveConvolution(
        cascaderef::naiveConvolution(x, this->family.taps(1, 3)), this->family.taps(2, 2));
    double peak = 0.0;
    for (double v : y)
        peak = std::max(peak, std::fabs(v));
    for (size_t i = 0; i < 4 * static_cast<size_t>(F::kSpb); ++i) {
        c.Input = i < x.size() ? x[i] : 0.0;
        c.Run(msg);
        ASSERT_NEAR(c.FinalOutput(), c.Gain * y[i], 1e-12 * peak * c.Gain) << i;
        ASSERT_EQ(c.EQ3_Output, c.EQ2_Output);
        ASSERT_EQ(c.EQ4_Output, c.EQ2_Output);
    }
    EXPECT_EQ(c.SampleCount, 4 * F::kSpb);
}

// All four lists in use, each at its own state: the evaluation measures the
// channel through the four, and Run streams it through them in order, each
// stage output the partial convolution up to its list.
TYPED_TEST(ListCascadeFamilies, FourListsEachAtItsOwnState)
{
    using F = TypeParam;
    std::vector<double> ch = channel<F>(0.5);
    typename F::Cascade c;
    const int counts[4] = {6, 6, 6, 6};
    const int states[4] = {3, 2, 5, 4};
    this->family.configure(c, &ch, counts);
    for (int n = 1; n <= 4; ++n)
        F::index(c, n) = states[n - 1];
    c.SuppressMessages = 1;
    std::stringstream msg;
    ASSERT_TRUE(c.Setup(nullptr, msg)) << msg.str();
    ASSERT_TRUE(c.Initialize(msg)) << msg.str();
    std::vector<std::vector<double>> taps;
    for (int n = 1; n <= 4; ++n)
        taps.push_back(this->family.taps(n, states[n - 1]));
    const std::vector<double> x = cascaderef::scaledChannel(ch, F::kSpb, F::kBitRate);
    const cascaderef::Trial want = cascaderef::referenceTrial(x, taps, F::kSpb);
    EXPECT_NEAR(c.BestEyeRatio, want.ratio, 1e-9 * std::fabs(want.ratio));

    std::vector<double> stage[4];
    stage[0] = cascaderef::naiveConvolution(x, taps[0]);
    for (int n = 1; n < 4; ++n)
        stage[n] = cascaderef::naiveConvolution(stage[n - 1], taps[n]);
    double peak[4] = {0.0, 0.0, 0.0, 0.0};
    for (int n = 0; n < 4; ++n)
        for (double v : stage[n])
            peak[n] = std::max(peak[n], std::fabs(v));
    for (size_t i = 0; i < 6 * static_cast<size_t>(F::kSpb); ++i) {
        c.Input = i < x.size() ? x[i] : 0.0;
        c.Run(msg);
        const double out[4] = {c.EQ1_Output, c.EQ2_Output, c.EQ3_Output, c.EQ4_Output};
        for (int n = 0; n < 4; ++n)
            ASSERT_NEAR(out[n], stage[n][i], 1e-12 * peak[n]) << "list " << n + 1 << ", sample " << i;
    }
}

TYPED_TEST(ListCascadeFamilies, ClosedEyeWordingOfBothSearchesAndTheEvaluation)
{
    using F = TypeParam;
    // Loss over many bits closes the eye of every combination.
    std::vector<double> ch = channel<F>(6.0);
    for (int n1 = 1; n1 <= 4; ++n1)
        for (int n2 = 1; n2 <= 3; ++n2)
            ASSERT_LE(this->trial(ch, n1, n2).ratio, 0.0);
    typename F::Cascade fixed;
    const int counts[4] = {4, 3, 0, 0};
    this->family.configure(fixed, &ch, counts);
    F::index(fixed, 2) = 1;
    std::stringstream mf;
    ASSERT_TRUE(fixed.Setup(nullptr, mf) && fixed.Initialize(mf)) << mf.str();
    EXPECT_EQ(mf.str(), "For the selected EQ states, the eye is closed.\n");
    for (int type = 0; type <= 1; ++type) {
        typename F::Cascade c;
        this->family.configure(c, &ch, counts);
        F::adapt(c, 1, type);
        std::stringstream msg;
        ASSERT_TRUE(c.Setup(nullptr, msg) && c.Initialize(msg)) << msg.str();
        const std::string head = type == 0
                                     ? "Optimization of EQ over count = 12 states resulting in a closed eye "
                                       "with optimized states\n"
                                     : "Optimization of EQ with " + std::to_string(c.CycleCount) +
                                           " cycles resulted in a closed eye with optimized states\n";
        EXPECT_EQ(msg.str(), head + this->name(1, F::kIndex) + " = " + std::to_string(F::index(c, 1)) +
                                 ",  " + this->name(2, F::kIndex) + " = " + std::to_string(F::index(c, 2)) +
                                 "\n");
    }
}

TYPED_TEST(ListCascadeFamilies, InvertedChannelGivesTheSameChoiceAndAPositiveResponse)
{
    using F = TypeParam;
    std::vector<double> up = channel<F>(1.2), down = channel<F>(1.2, -1.0);
    typename F::Cascade a, b;
    const int counts[4] = {4, 3, 0, 0};
    this->family.configure(a, &up, counts);
    this->family.configure(b, &down, counts);
    F::adapt(a, 1, 0);
    F::adapt(b, 1, 0);
    std::stringstream ma, mb;
    ASSERT_TRUE(a.Setup(nullptr, ma) && a.Initialize(ma)) << ma.str();
    ASSERT_TRUE(b.Setup(nullptr, mb) && b.Initialize(mb)) << mb.str();
    EXPECT_EQ(F::index(b, 1), F::index(a, 1));
    EXPECT_EQ(F::index(b, 2), F::index(a, 2));
    EXPECT_EQ(mb.str(), ma.str());
    // Equal values: every operation of the convolution commutes with the
    // sign, but a sum that cancels to +0 becomes -0 once the inverted
    // response is made positive-going.
    EXPECT_EQ(b.EqualizedResponse, a.EqualizedResponse);
    EXPECT_FALSE(b.chInverted(b.EqualizedResponse));
    EXPECT_TRUE(b.chInverted(b.ScaledChannel));
}

TYPED_TEST(ListCascadeFamilies, NoListsIsAPureGain)
{
    using F = TypeParam;
    std::vector<double> ch = channel<F>(1.5);
    typename F::Cascade c;
    const int counts[4] = {0, 0, 0, 0};
    this->family.configure(c, &ch, counts);
    c.Gain_dB = 6.0;
    std::stringstream msg;
    ASSERT_TRUE(c.Setup(nullptr, msg)) << msg.str();
    ASSERT_TRUE(c.Initialize(msg)) << msg.str();
    EXPECT_EQ(msg.str(), "");
    c.Input = 0.25;
    c.Run(msg);
    EXPECT_EQ(c.FinalOutput(), 0.25 * std::pow(10.0, 6.0 / 20.0));
    EXPECT_EQ(c.EQ1_Output, c.FinalOutput());
}

TYPED_TEST(ListCascadeFamilies, TruncateAndInversionHelpers)
{
    using F = TypeParam;
    typename F::Cascade c;
    std::vector<double> v{0.0, 0.0, 1.0, -2.0, 0.0, 3.0, 0.0, 0.0};
    c.truncateEQ(v);
    EXPECT_EQ(v, (std::vector<double>{1.0, -2.0, 0.0, 3.0}));
    std::vector<double> zeros(4, 0.0);
    c.truncateEQ(zeros);
    EXPECT_EQ(zeros, std::vector<double>(1, 0.0));
    // The first sample of largest magnitude decides; a later equal one does not.
    EXPECT_TRUE(c.chInverted({1.0, -3.0, 3.0}));
    EXPECT_FALSE(c.chInverted({1.0, 3.0, -3.0}));
    EXPECT_FALSE(c.chInverted({0.0, 0.0}));
}

}  // namespace
