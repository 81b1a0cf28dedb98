#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/ImpulseOperations.h"
#include "eq/AutoGainControl.h"

using namespace Veltramodels20200612;

namespace {

const double kPi = 3.14159265358979323846;

// An AGC on `impulse` with BitRate 1e9 and 4 samples per bit, so that the
// level is measured on impulse / 4e9.
void configureAgc(AutoGainControl& agc, std::vector<double>& impulse, int type)
{
    agc.ChannelImpulse = &impulse;
    agc.BitRate = 1e9;
    agc.SamplesPerBit = 4;
    agc.AGC_Type = type;
    agc.AGC_Level = 1.0;
    agc.TxLogicLevel = 0.5;
}

// Values in gain per sample (times 4e9) of a small lossy channel.
std::vector<double> lossyChannel(double sign = 1.0)
{
    const double per[] = {0.0, 0.05, 0.3, 0.25, 0.15, 0.1, 0.06, 0.04, 0.02, 0.01};
    std::vector<double> v;
    for (double p : per)
        v.push_back(sign * p * 4e9);
    return v;
}

}  // namespace

TEST(AutoGainControl, SetupReportsEveryFaultInOrder)
{
    AutoGainControl agc;
    agc.AGC_Type = 4;
    agc.AGC_Level = 0.0;
    std::stringstream msg;
    EXPECT_FALSE(agc.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "ChannelImpulse[] array must not be empty.\n"
                         "AGC_Type must be an integer in the range [0, 3].\n"
                         "AGC_Level must be > 0.\n");

    std::vector<double> ch(1, 1.0);
    AutoGainControl neg;
    neg.ChannelImpulse = &ch;
    neg.AGC_Type = -1;
    neg.TxLogicLevel = 0.0;
    std::stringstream msg2;
    EXPECT_FALSE(neg.Setup(nullptr, msg2));
    EXPECT_EQ(msg2.str(), "AGC_Type must be an integer in the range [0, 3].\n"
                          "TxLogicLevel must be > 0.\n");

    std::vector<double> empty;
    AutoGainControl e;
    e.ChannelImpulse = &empty;
    std::stringstream msg3;
    EXPECT_FALSE(e.Setup(nullptr, msg3));
    EXPECT_EQ(msg3.str(), "ChannelImpulse[] array must not be empty.\n");

    AutoGainControl good;
    good.ChannelImpulse = &ch;
    good.AGC_Type = 3;
    std::stringstream msg4;
    EXPECT_TRUE(good.Setup(nullptr, msg4));
    EXPECT_EQ(msg4.str(), "");
}

TEST(AutoGainControl, TypeZeroKeepsPresetGainAndImpulse)
{
    std::vector<double> ch = lossyChannel();
    const std::vector<double> before = ch;
    AutoGainControl agc;
    configureAgc(agc, ch, 0);
    agc.ScalarGain = 1.75;
    std::stringstream msg;
    ASSERT_TRUE(agc.Setup(nullptr, msg));
    ASSERT_TRUE(agc.Initialize(msg));
    EXPECT_EQ(msg.str(), "");
    EXPECT_EQ(ch, before);
    EXPECT_EQ(agc.ScalarGain, 1.75);
    agc.Input = 2.0;
    EXPECT_EQ(agc.Run(), 3.5);
    EXPECT_EQ(agc.Output, 3.5);
}

TEST(AutoGainControl, TypeOneBringsTheDcLevelToTheTarget)
{
    // c = impulse / 4e9 = (0.1, 0.3): sum 0.4; swing 2 x 0.5 = 1 -> gain 2.5.
    std::vector<double> ch = {0.1 * 4e9, 0.3 * 4e9};
    AutoGainControl agc;
    configureAgc(agc, ch, 1);
    std::stringstream msg;
    ASSERT_TRUE(agc.Setup(nullptr, msg));
    ASSERT_TRUE(agc.Initialize(msg));
    EXPECT_DOUBLE_EQ(agc.ScalarGain, 2.5);
    EXPECT_EQ(msg.str(), "AGC scalar gain = 2.5.\n");
    EXPECT_DOUBLE_EQ(ch[0], 2.5 * 0.1 * 4e9);
    EXPECT_DOUBLE_EQ(ch[1], 2.5 * 0.3 * 4e9);
    agc.Input = 2.0;
    EXPECT_DOUBLE_EQ(agc.Run(), 5.0);

    // Level 3, logic level 0.25 (swing 0.5): gain = 3 / 0.4 / 0.5 = 15.
    std::vector<double> ch2 = {0.1 * 4e9, 0.3 * 4e9};
    AutoGainControl agc2;
    configureAgc(agc2, ch2, 1);
    agc2.AGC_Level = 3.0;
    agc2.TxLogicLevel = 0.25;
    std::stringstream msg2;
    ASSERT_TRUE(agc2.Setup(nullptr, msg2));
    ASSERT_TRUE(agc2.Initialize(msg2));
    EXPECT_DOUBLE_EQ(agc2.ScalarGain, 15.0);
    EXPECT_EQ(msg2.str(), "AGC scalar gain = 15.\n");
}

TEST(AutoGainControl, TypeTwoUsesTheMagnitudeAtNyquist)
{
    std::vector<double> ch = lossyChannel();
    const std::vector<double> before = ch;
    AutoGainControl agc;
    configureAgc(agc, ch, 2);
    agc.AGC_Level = 0.8;
    std::stringstream msg;
    ASSERT_TRUE(agc.Setup(nullptr, msg));
    ASSERT_TRUE(agc.Initialize(msg));

    // Independent DFT at BitRate / 2 = fs / 8: H = sum c[n] e^{-i pi n / 4}.
    std::complex<double> h(0.0, 0.0);
    for (size_t n = 0; n < before.size(); ++n)
        h += (before[n] / 4e9) * std::exp(std::complex<double>(0.0, -kPi * static_cast<double>(n) / 4.0));
    const double expected = (1.0 / std::abs(h)) * 0.8 / 1.0;
    EXPECT_NEAR(agc.ScalarGain, expected, 1e-12 * expected);
    for (size_t n = 0; n < ch.size(); ++n)
        EXPECT_DOUBLE_EQ(ch[n], before[n] * agc.ScalarGain);
    std::ostringstream line;
    line << "AGC scalar gain = " << agc.ScalarGain << ".\n";
    EXPECT_EQ(msg.str(), line.str());
}

TEST(AutoGainControl, TypeThreeUsesTheEyeLevels)
{
    // A single sample of 1 (per sample interval) at 4 samples per bit and
    // logic level 0.5 has Bc = Wc = 0.5 at the eye centre: the gain is
    // 1 / (0.5 + 0.5) = 1 exactly, so the impulse stays, the line is written.
    std::vector<double> ch = {4e9};
    AutoGainControl agc;
    configureAgc(agc, ch, 3);
    std::stringstream msg;
    ASSERT_TRUE(agc.Setup(nullptr, msg));
    ASSERT_TRUE(agc.Initialize(msg));
    EXPECT_EQ(agc.BestCaseUpperLevel, 0.5);
    EXPECT_EQ(agc.WorstCaseUpperLevel, 0.5);
    EXPECT_EQ(agc.ScalarGain, 1.0);
    EXPECT_EQ(ch[0], 4e9);
    EXPECT_EQ(msg.str(), "AGC scalar gain = 1.\n");

    // Open eye: gain = level / (wc + bc); measured levels as the eye kernel
    // gives them for the same channel.
    std::vector<double> lossy = lossyChannel();
    std::vector<double> c(lossy.size());
    for (size_t i = 0; i < c.size(); ++i)
        c[i] = lossy[i] / 1e9 / 4;
    double bc = 0.0, wc = 0.0;
    std::stringstream scratch;
    ImpulseOperations ops;
    ASSERT_TRUE(ops.determineEyeBcWcUpperLevels(c, 4, 0.5, &bc, &wc, scratch));
    ASSERT_GT(wc, 0.0);
    AutoGainControl open;
    configureAgc(open, lossy, 3);
    open.AGC_Level = 2.0;
    std::stringstream msg2;
    ASSERT_TRUE(open.Setup(nullptr, msg2));
    ASSERT_TRUE(open.Initialize(msg2));
    EXPECT_DOUBLE_EQ(open.ScalarGain, 2.0 / (wc + bc));
}

TEST(AutoGainControl, TypeThreeWithAClosedEyeUsesTheBestCaseLevel)
{
    // Strong intersymbol interference: a long tail larger than the cursor.
    std::vector<double> ch;
    for (int i = 0; i < 40; ++i)
        ch.push_back((i == 1 ? 1.0 : 0.3) * 4e9);
    std::vector<double> c(ch.size());
    for (size_t i = 0; i < c.size(); ++i)
        c[i] = ch[i] / 1e9 / 4;
    double bc = 0.0, wc = 0.0;
    std::stringstream scratch;
    ImpulseOperations ops;
    ASSERT_TRUE(ops.determineEyeBcWcUpperLevels(c, 4, 0.5, &bc, &wc, scratch));
    ASSERT_LE(wc, 0.0);

    AutoGainControl agc;
    configureAgc(agc, ch, 3);
    std::stringstream msg;
    ASSERT_TRUE(agc.Setup(nullptr, msg));
    ASSERT_TRUE(agc.Initialize(msg));
    EXPECT_DOUBLE_EQ(agc.ScalarGain, 1.0 / bc);
}

TEST(AutoGainControl, InvertedChannelGivesTheSameGain)
{
    for (int type = 1; type <= 3; ++type) {
        std::vector<double> pos = lossyChannel(1.0), neg = lossyChannel(-1.0);
        AutoGainControl a, b;
        configureAgc(a, pos, type);
        configureAgc(b, neg, type);
        std::stringstream ma, mb;
        ASSERT_TRUE(a.Setup(nullptr, ma) && a.Initialize(ma));
        ASSERT_TRUE(b.Setup(nullptr, mb) && b.Initialize(mb));
        EXPECT_EQ(a.ScalarGain, b.ScalarGain) << "type " << type;
        EXPECT_EQ(ma.str(), mb.str());
        // The impulse itself keeps its sign.
        EXPECT_LT(neg[2], 0.0);
    }
}

TEST(AutoGainControl, SilentChannelKeepsThePresetGainWithoutNaN)
{
    for (int type = 1; type <= 3; ++type) {
        std::vector<double> zeros(8, 0.0);
        AutoGainControl agc;
        configureAgc(agc, zeros, type);
        agc.ScalarGain = 2.0;
        std::stringstream msg;
        ASSERT_TRUE(agc.Setup(nullptr, msg));
        EXPECT_TRUE(agc.Initialize(msg)) << "type " << type;
        EXPECT_EQ(agc.ScalarGain, 2.0);
        EXPECT_EQ(msg.str(), "AGC scalar gain = 2.\n");
        for (double v : zeros)
            EXPECT_EQ(v, 0.0);
        agc.Input = 1.5;
        EXPECT_EQ(agc.Run(), 3.0);
    }
}

TEST(AutoGainControl, FailedEyeMeasurementStillWritesTheLineAndFails)
{
    std::vector<double> ch = lossyChannel();
    const std::vector<double> before = ch;
    AutoGainControl agc;
    configureAgc(agc, ch, 3);
    agc.SamplesPerBit = 0;  // the eye kernel refuses it
    agc.ScalarGain = 1.5;
    std::stringstream msg;
    ASSERT_TRUE(agc.Setup(nullptr, msg));
    EXPECT_FALSE(agc.Initialize(msg));
    EXPECT_EQ(msg.str(), "SamplesPerBit must be an integer >= 1.\nAGC scalar gain = 1.5.\n");
    EXPECT_EQ(ch, before);
}
