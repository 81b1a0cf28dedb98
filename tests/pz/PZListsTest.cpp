#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/ImpulseOperations.h"
#include "pz/FIRwMultiplePZLists.h"
#include "pz/FIRwPZList.h"
#include "pz/PZImpulse.h"

using namespace Veltramodels20200612;

namespace {

const double kTwoPi = 6.283185307179586;
const double kBitRate = 10e9;
const int kSpb = 16;
const double kFs = kBitRate * kSpb;

// A list of peaking states: zero z_k, poles 6 and 9 GHz (rad/s, negative),
// unity gain at 0 Hz; roots already pre-warped as the pole/zero section hands
// them.
struct StateList {
    std::vector<std::vector<double>> poles, zeros;
    std::unique_ptr<PZImpulse[]> states;
    int count;
    explicit StateList(const std::vector<double>& zerosGHz, double gain = 1.0)
        : count(int(zerosGHz.size()))
    {
        poles.resize(count);
        zeros.resize(count);
        states.reset(new PZImpulse[count]);
        for (int k = 0; k < count; ++k) {
            poles[k] = {PZImpulse::warpRoot(-kTwoPi * 6e9, kFs), PZImpulse::warpRoot(-kTwoPi * 9e9, kFs)};
            zeros[k] = {PZImpulse::warpRoot(-kTwoPi * zerosGHz[k] * 1e9, kFs)};
            PZImpulse& s = states[k];
            s.BitRate = kBitRate;
            s.SamplesPerBit = kSpb;
            s.GainDC = gain;
            s.WarpFreq = 1;
            s.AutoSetWarpFreq = 0;
            s.Poles = &poles[k];
            s.Zeros = &zeros[k];
        }
    }
};

// Channel in gain per second (as the cascade takes it): a 1.2 GHz single
// pole sampled at kFs, with a leading zero and trailing zeros.
std::vector<double> lossyChannel()
{
    std::vector<double> ch(1, 0.0);
    const double a = std::exp(-kTwoPi * 1.2e9 / kFs);
    double v = 1.0 - a;
    for (int n = 0; n < 600; ++n) {
        ch.push_back(v * kFs);
        v *= a;
    }
    ch.resize(ch.size() + 20, 0.0);
    return ch;
}

// Independent reference: the state's impulse from a fresh PZImpulse,
// convolved directly with the scaled channel, and its eye ratio (and, when
// asked, its best- and worst-case levels).
double referenceRatio(StateList& list, int k, const std::vector<double>& ch, double logicLevel,
                      double* bcOut = nullptr, double* wcOut = nullptr)
{
    std::vector<double> t, h;
    PZImpulse p = list.states[k];
    p.TimeArray = &t;
    p.ImpulseArray = &h;
    std::stringstream msg;
    EXPECT_TRUE(p.Setup(nullptr, msg) && p.Initialize(msg));
    std::vector<double> c;
    size_t last = ch.size();
    while (ch[last - 1] == 0.0)
        --last;
    for (size_t i = 1; i < last; ++i)
        c.push_back(ch[i] / kFs);
    std::vector<double> y(c.size() + h.size() - 1, 0.0);
    for (size_t i = 0; i < c.size(); ++i)
        for (size_t j = 0; j < h.size(); ++j)
            y[i + j] += c[i] * h[j];
    ImpulseOperations ops;
    double bc = 0, wc = 0;
    EXPECT_TRUE(ops.determineEyeBcWcUpperLevels(y, kSpb, logicLevel, &bc, &wc, msg));
    if (bcOut != nullptr)
        *bcOut = bc;
    if (wcOut != nullptr)
        *wcOut = wc;
    return wc / bc;
}

void configure(FIRwMultiplePZLists& m, std::vector<double>& ch)
{
    m.ChannelImpulse = &ch;
    m.BitRate = kBitRate;
    m.SamplesPerBit = kSpb;
}

TEST(FIRwMultiplePZLists, MissingEQ1ArrayFailsEvenWithoutStates)
{
    std::vector<double> ch = lossyChannel();
    {
        FIRwMultiplePZLists m;
        configure(m, ch);
        std::stringstream msg;
        EXPECT_FALSE(m.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "EQ1_Data_data_values vector size must be > 0.\n");
    }
    {
        FIRwMultiplePZLists m;
        configure(m, ch);
        m.AdaptDataIndexType = 2;
        std::stringstream msg;
        EXPECT_FALSE(m.Setup(nullptr, msg));
        EXPECT_EQ(
            msg.str(),
            "EQ1_Data_data_values vector size must be > 0.\nAdaptDataIndexType must be either 0 or 1.\n");
    }
}

TEST(FIRwMultiplePZLists, SetupMessagesUseDataNames)
{
    std::vector<double> ch = lossyChannel();
    StateList a({0.5, 1.0});
    {
        FIRwMultiplePZLists m;
        configure(m, ch);
        m.EQ1_Data_data_values = a.states.get();
        m.EQ1_NumData = 2;
        m.EQ1_DataIndex = 3;
        m.EQ4_NumData = -1;
        m.AdaptDataIndex = 2;
        std::stringstream msg;
        EXPECT_FALSE(m.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "EQ4_NumData must be an integer >= 0.\n"
                             "AdaptDataIndex must be an integer either 0 or 1.\n");
    }
    {
        FIRwMultiplePZLists m;
        configure(m, ch);
        m.EQ1_Data_data_values = a.states.get();
        m.EQ1_NumData = 2;
        m.EQ1_DataIndex = 3;
        std::stringstream msg;
        EXPECT_FALSE(m.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "EQ1_DataIndex must be an integer in the range [1, 2].\n");
    }
    {
        FIRwMultiplePZLists m;
        configure(m, ch);
        m.EQ1_Data_data_values = a.states.get();
        m.EQ1_NumData = 2;
        m.EQ2_NumData = 2;
        m.EQ2_DataIndex = 1;
        std::stringstream msg;
        EXPECT_FALSE(m.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "EQ2_Data_data_values vector size must be > 0.\n");
    }
    {
        FIRwMultiplePZLists m;
        configure(m, ch);
        m.EQ1_Data_data_values = a.states.get();
        m.EQ1_NumData = 2;
        m.EQ4_NumData = 1;
        std::stringstream msg;
        EXPECT_FALSE(m.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "EQ3_NumData must be an integer >= 1.\n");
    }
}

TEST(FIRwMultiplePZLists, ExhaustiveSearchPicksLargestRatio)
{
    std::vector<double> ch = lossyChannel();
    StateList a({8.0, 3.0, 1.5, 0.7, 0.35});
    FIRwMultiplePZLists m;
    configure(m, ch);
    m.EQ1_Data_data_values = a.states.get();
    m.EQ1_NumData = a.count;
    m.AdaptDataIndex = 1;
    std::stringstream msg;
    ASSERT_TRUE(m.Setup(nullptr, msg)) << msg.str();
    ASSERT_TRUE(m.Initialize(msg)) << msg.str();

    int best = 0;
    double bestRatio = -1e40;
    for (int k = 0; k < a.count; ++k) {
        double r = referenceRatio(a, k, ch, 0.5);
        if (r > bestRatio) {
            bestRatio = r;
            best = k + 1;
        }
    }
    EXPECT_GT(best, 1);  // the channel needs peaking
    EXPECT_EQ(m.EQ1_DataIndex, best);
    std::string text = msg.str();
    std::string head = "Optimization of EQ over count = 5 states resulting in max open eye ratio = ";
    ASSERT_EQ(text.substr(0, head.size()), head) << text;
    EXPECT_NEAR(std::stod(text.substr(head.size())), bestRatio, 1e-4 * std::fabs(bestRatio));
    EXPECT_NE(text.find(" with optimized states\nEQ1_DataIndex = " + std::to_string(best) + "\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("For the selected EQ states"), std::string::npos);
    EXPECT_NEAR(m.BestEyeRatio, bestRatio, 1e-9 * std::fabs(bestRatio));
}

TEST(FIRwMultiplePZLists, FixedStateRunAndFinalMessage)
{
    std::vector<double> ch = lossyChannel();
    StateList a({1.5, 0.7});
    FIRwMultiplePZLists m;
    configure(m, ch);
    m.EQ1_Data_data_values = a.states.get();
    m.EQ1_NumData = 2;
    m.EQ1_DataIndex = 2;
    m.Gain_dB = 6.0;
    std::stringstream msg;
    ASSERT_TRUE(m.Setup(nullptr, msg));
    ASSERT_TRUE(m.Initialize(msg));
    double r = referenceRatio(a, 1, ch, 0.5);
    std::stringstream want;
    want << "For the selected EQ states, the open eye ratio = " << r << "\n";
    EXPECT_EQ(msg.str(), want.str());

    // A unit sample through the cascade gives the state's impulse times the gain.
    std::vector<double> t, h;
    PZImpulse p = a.states[1];
    p.TimeArray = &t;
    p.ImpulseArray = &h;
    ASSERT_TRUE(p.Setup(nullptr, msg) && p.Initialize(msg));
    const double g = std::pow(10.0, 6.0 / 20.0);
    for (size_t n = 0; n < 300; ++n) {
        m.Input = n == 0 ? 1.0 : 0.0;
        m.Run(msg);
        ASSERT_NEAR(m.EQ4_Output, g * h[n], 1e-15) << n;
        ASSERT_EQ(m.EQ1_Output, m.EQ4_Output);
    }
    // Still runnable after Finalize (direct-form FIRs).
    m.Finalize();
    m.Input = 0.0;
    m.Run(msg);
    EXPECT_NEAR(m.EQ4_Output, g * h[300], 1e-15);
}

TEST(FIRwMultiplePZLists, SequentialSearchWording)
{
    std::vector<double> ch = lossyChannel();
    StateList a({3.0, 1.0}), b({8.0, 2.0});
    FIRwMultiplePZLists m;
    configure(m, ch);
    m.EQ1_Data_data_values = a.states.get();
    m.EQ1_NumData = 2;
    m.EQ2_Data_data_values = b.states.get();
    m.EQ2_NumData = 2;
    m.AdaptDataIndex = 1;
    std::stringstream msg;
    ASSERT_TRUE(m.Setup(nullptr, msg));
    ASSERT_TRUE(m.Initialize(msg)) << msg.str();
    std::string text = msg.str();
    EXPECT_EQ(text.rfind("Optimization of EQ with ", 0), 0u) << text;
    EXPECT_NE(text.find(",  EQ2_DataIndex = "), std::string::npos);
    EXPECT_GE(m.CycleCount, 1);
}

TEST(FIRwMultiplePZLists, GainAtZeroHertz)
{
    std::vector<double> ch = lossyChannel();
    StateList a({1.0}, 0.5);
    FIRwMultiplePZLists m;
    configure(m, ch);
    m.EQ1_Data_data_values = a.states.get();
    m.EQ1_NumData = 1;
    m.AdaptForChLoss = 1;
    m.AGC_Level = 0.8;
    m.SuppressMessages = 1;
    std::stringstream msg;
    ASSERT_TRUE(m.Setup(nullptr, msg));
    ASSERT_TRUE(m.Initialize(msg));
    double sum = 0.0;
    for (double v : m.EqualizedResponse)
        sum += v;
    EXPECT_NEAR(sum, 0.5, 1e-6);  // channel gain 1 times the state's 0.5
    EXPECT_NEAR(m.Gain, 0.8 / sum, 1e-12);
    EXPECT_EQ(msg.str(), "");
}

TEST(FIRwPZList, StateChecks)
{
    std::vector<double> unit(1, 1.0);
    {
        std::vector<double> poles{-1e10}, zeros{-2e10};
        PZImpulse s;
        s.BitRate = kBitRate;
        s.SamplesPerBit = kSpb;
        s.Poles = &poles;
        s.Zeros = &zeros;
        FIRwPZList l;
        l.ChannelImpulse = &unit;
        l.BitRate = kBitRate;
        l.SamplesPerBit = kSpb;
        l.DataIndex = 1;
        l.NumData = 1;
        l.PZ_data = &s;
        std::stringstream msg;
        EXPECT_FALSE(l.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "PZ_data[i] must have number of Poles > number of Zeros.\n");
    }
    {
        StateList a({1.0, 2.0, 3.0});
        a.states[1].BitRate = 2 * kBitRate;
        FIRwPZList l;
        l.ChannelImpulse = &unit;
        l.BitRate = kBitRate;
        l.SamplesPerBit = kSpb;
        l.DataIndex = 1;
        l.NumData = 3;
        l.PZ_data = a.states.get();
        std::stringstream msg;
        EXPECT_FALSE(l.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "PZ_data[i] for i = 1 not setup properly.\n");
    }
    {
        FIRwPZList l;
        l.BitRate = 0;
        l.SamplesPerBit = 3;
        l.SourceLogicLevel = 0;
        l.AGC_Level = -1;
        l.AdaptDataIndex = 3;
        std::stringstream msg;
        EXPECT_FALSE(l.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "ChannelImpulse vector size must be > 0.\n"
                             "BitRate must be > 0.\n"
                             "SamplesPerBit must be and integer >= 4.\n"
                             "SourceLogicLevel must be > 0.\n"
                             "AGC_Level must be > 0.\n"
                             "AdaptDataIndex must be an integer either 0 or 1.\n"
                             "NumData must be an integer >= 1.\n"
                             "PZ_data array must not be NULL.\n");
    }
    {
        FIRwPZList l;
        l.ChannelImpulse = &unit;
        l.DataIndex = 0;
        l.NumData = 2;
        std::stringstream msg;
        EXPECT_FALSE(l.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(),
                  "DataIndex must be an integer in the range [1, 2].\nPZ_data array must not be NULL.\n");
    }
}

// A list searching its own state against a channel, in gain per second.
struct ListRun {
    StateList states;
    std::vector<double> ch;
    FIRwPZList l;
    std::stringstream msg;
    ListRun(const std::vector<double>& zeros, const std::vector<double>& channel)
        : states(zeros),
          ch(channel)
    {
        l.ChannelImpulse = &ch;
        l.BitRate = kBitRate;
        l.SamplesPerBit = kSpb;
        l.NumData = states.count;
        l.PZ_data = states.states.get();
    }
};

TEST(FIRwPZList, OwnSearchAndGainMessages)
{
    ListRun r({8.0, 0.7}, lossyChannel());
    r.l.AdaptDataIndex = 1;
    r.l.AdaptForChLoss = 3;
    r.l.AGC_Level = 0.4;
    r.l.SourceLogicLevel = 0.5;
    ASSERT_TRUE(r.l.Setup(nullptr, r.msg)) << r.msg.str();
    ASSERT_TRUE(r.l.Initialize(r.msg)) << r.msg.str();
    double bc[2], wc[2];
    double r1 = referenceRatio(r.states, 0, r.ch, 0.4, &bc[0], &wc[0]);
    double r2 = referenceRatio(r.states, 1, r.ch, 0.4, &bc[1], &wc[1]);
    int best = r2 > r1 ? 2 : 1;
    EXPECT_EQ(r.l.DataIndex, best);
    std::stringstream want;
    want << "Adaptation of the equalizer for best output eye opening results in data index = " << best
         << " with approximate eye opening ratio = " << std::max(r1, r2) << "\n";
    std::string text = r.msg.str();
    ASSERT_EQ(text.substr(0, want.str().size()), want.str());
    // Peak-to-peak level 0.4 with a source level of 0.5: the gain is scaled
    // by 0.4 / (2 x 0.5).
    std::string rest = text.substr(want.str().size());
    std::string head = "To adapt equalizer output for peak-to-peak eye level of 0.4, a gain of ";
    ASSERT_EQ(rest.substr(0, head.size()), head);
    EXPECT_EQ(rest.substr(rest.size() - 38), " dB is added at the equalizer output.\n");
    EXPECT_NEAR(std::stod(rest.substr(head.size())), r.l.Gain_dB, 1e-4);
    // The level over the mid-eye level of the chosen state, then the scaling.
    const double midEye = (bc[best - 1] + wc[best - 1]) / 2.0;
    EXPECT_NEAR(r.l.Gain, 0.4 / midEye * (0.4 / 1.0), 1e-9 * r.l.Gain);
    EXPECT_NEAR(r.l.Gain_dB, 20.0 * std::log10(r.l.Gain), 1e-12);
}

// Equal states measure equal ratios: the first of them is kept.
TEST(FIRwPZList, TiesGoToTheLowerIndex)
{
    ListRun r({8.0, 2.0, 2.0, 2.0}, lossyChannel());
    r.l.AdaptDataIndex = 1;
    ASSERT_TRUE(r.l.Setup(nullptr, r.msg)) << r.msg.str();
    ASSERT_TRUE(r.l.Initialize(r.msg)) << r.msg.str();
    const double flat = referenceRatio(r.states, 0, r.ch, 1.0),
                 peaking = referenceRatio(r.states, 1, r.ch, 1.0);
    ASSERT_GT(peaking, flat);
    EXPECT_EQ(r.l.DataIndex, 2);
    EXPECT_NEAR(r.l.BestEyeRatio, peaking, 1e-12);
}

TEST(FIRwPZList, ClosedEyeWording)
{
    // A channel that smears each bit over many bits: every state leaves the
    // eye closed.
    std::vector<double> ch;
    const double a = std::exp(-kTwoPi * 0.05e9 / kFs);
    double v = 1.0;
    for (int n = 0; n < 8000; ++n) {
        ch.push_back(v * (n % 32 < 16 ? 1.0 : -0.9) * kFs);
        v *= a;
    }
    ListRun r({8.0, 4.0}, ch);
    r.l.AdaptDataIndex = 1;
    ASSERT_TRUE(r.l.Setup(nullptr, r.msg));
    ASSERT_TRUE(r.l.Initialize(r.msg)) << r.msg.str();
    std::stringstream want;
    want << "Adaptation of the equalizer for best output eye opening results in  data index = "
         << r.l.DataIndex << ", but the eye is still closed.\n";
    EXPECT_EQ(r.msg.str(), want.str());
    EXPECT_LE(r.l.BestEyeRatio, 0.0);
}

TEST(FIRwPZList, GainAtZeroHertzWithoutSearch)
{
    ListRun r({1.0}, lossyChannel());
    r.l.DataIndex = 1;
    r.l.AdaptForChLoss = 1;
    r.l.AGC_Level = 2.0;
    ASSERT_TRUE(r.l.Setup(nullptr, r.msg));
    ASSERT_TRUE(r.l.Initialize(r.msg)) << r.msg.str();
    EXPECT_NEAR(r.l.Gain, 2.0, 1e-6);  // channel and state both have gain 1 at 0 Hz
    std::string text = r.msg.str();
    EXPECT_EQ(text.rfind("Equalizer output approximate eye opening ratio = ", 0), 0u) << text;
    EXPECT_NE(
        text.find("To adapt equalizer output for system gain of 6.0206 dB at 0 Hz, a gain of 6.0206 dB is "
                  "added at the equalizer output.\n"),
        std::string::npos)
        << text;
    // Run starts from a clean FIR: a unit sample gives taps x gain, at time 0.
    r.l.Input = 1.0;
    r.l.Run(r.msg);
    EXPECT_NEAR(r.l.Output, r.l.ImpulseResponse[0] * r.l.Gain, 1e-15);
    EXPECT_EQ(r.l.Time, 0.0);
    r.l.Input = 0.0;
    r.l.Run(r.msg);
    EXPECT_DOUBLE_EQ(r.l.Time, 1.0 / kFs);
}

TEST(FIRwPZList, ConvolveMatchesDirectSum)
{
    ListRun r({2.0}, lossyChannel());
    r.l.DataIndex = 1;
    ASSERT_TRUE(r.l.Setup(nullptr, r.msg));
    ASSERT_TRUE(r.l.Initialize(r.msg));
    std::vector<double> x{0.5, -1.0, 0.25, 2.0, 0.0, 0.0};
    std::vector<double> v = x;
    r.l.convolveChImpFIR(v, 4, r.msg);
    const std::vector<double>& h = r.l.ImpulseResponse;
    ASSERT_EQ(v.size(), h.size() + 4);
    for (size_t n = 0; n < v.size(); ++n) {
        double want = 0.0;
        for (size_t i = 0; i < 4; ++i)
            if (n >= i && n - i < h.size())
                want += x[i] * h[n - i];
        ASSERT_NEAR(v[n], want, 1e-15) << n;
    }
}

}  // namespace
