// Tests of the single step-response equaliser list: parameter checks, the
// index adaptation against a brute-force reference (naive convolution and the
// peak-distortion eye of every state), the gain adaptation and streaming.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/ImpulseToWorstCaseEye.h"
#include "eq/FIRwStepRespList.h"
#include "eq/InterpolateStepRespData.h"
#include "tests/support/CascadeReference.h"

using namespace Veltramodels20200612;

namespace {

const double kBitRate = 4e9;
const int kSpb = 8;
const double kTs = 1.0 / kBitRate / kSpb;

// A step-response table with a shared time axis (ColumnArrangement 1).
struct Table {
    std::vector<std::vector<double>> cols;
    std::vector<double>* slot = nullptr;
    std::vector<double>** ptr()
    {
        slot = cols.data();
        return &slot;
    }
};

// Driver-like step responses: a rise with a decaying overshoot whose size
// grows with the state's emphasis.
Table makeTable(const std::vector<double>& emphasis, int rows = 60, double dt = 25e-12)
{
    Table t;
    t.cols.assign(emphasis.size() + 1, std::vector<double>(rows));
    for (int j = 0; j < rows; ++j) {
        const double time = j * dt;
        t.cols[0][j] = time;
        for (size_t k = 0; k < emphasis.size(); ++k)
            t.cols[k + 1][j] =
                (1.0 - std::exp(-time / 30e-12)) * (1.0 + emphasis[k] * std::exp(-time / 200e-12));
    }
    return t;
}

// Low-pass channel, one sample per simulation step.
std::vector<double> makeChannel(double tau, int length, double scale = 1.0)
{
    std::vector<double> h(length);
    for (int i = 0; i < length; ++i)
        h[i] = scale * (std::exp(-i * kTs / tau) - std::exp(-i * kTs / (tau / 4)));
    return h;
}

// Taps of one state, obtained from the interpolation on its own.
std::vector<double> stateTaps(Table& table, int n, int index)
{
    InterpolateStepRespData in;
    in.BitRate = kBitRate;
    in.SamplesPerBit = kSpb;
    in.StepRespIndex = index;
    in.NumStepResp = n;
    in.InterpolationType = 2;
    in.StepResp_data_values = table.ptr();
    in.ColumnArrangement = 1;
    in.EnableInterpolation = 1;
    in.DifferentiateData = 1;
    std::stringstream m;
    EXPECT_TRUE(in.Setup(nullptr, m)) << m.str();
    EXPECT_TRUE(in.Initialize(m)) << m.str();
    return in.OutputData;
}

// Full linear convolution of x with the taps plus one trailing zero, each
// output summed over ascending tap index (the direct-form FIR order).
std::vector<double> naiveConvolution(const std::vector<double>& x, const std::vector<double>& taps)
{
    std::vector<double> y(x.size() + taps.size(), 0.0);
    for (size_t t = 0; t < y.size(); ++t) {
        double s = 0.0;
        for (size_t i = 0; i < taps.size() && i <= t; ++i)
            if (t - i < x.size())
                s += taps[i] * x[t - i];
        y[t] = s;
    }
    return y;
}

struct Reference {
    std::vector<double> ratio, bc, wc;
    int argmax = 0;  // 1-based, first met on ties
};

Reference referenceSearch(Table& table, int n, const std::vector<double>& channel, double level)
{
    Reference r;
    size_t length = channel.size();
    while (length > 1 && channel[length - 1] == 0.0)
        --length;
    double largest = 0.0, sign = 1.0;
    for (size_t i = 0; i < length; ++i)
        if (std::fabs(channel[i]) > largest) {
            largest = std::fabs(channel[i]);
            sign = channel[i] < 0 ? -1.0 : 1.0;
        }
    std::vector<double> x(length);
    for (size_t i = 0; i < length; ++i)
        x[i] = (sign < 0 ? -kTs : kTs) * channel[i];
    double best = -1e40;
    for (int k = 1; k <= n; ++k) {
        double bc = 0, wc = 0;
        cascaderef::referenceEye(naiveConvolution(x, stateTaps(table, n, k)), kSpb, level, &bc, &wc);
        r.bc.push_back(bc);
        r.wc.push_back(wc);
        r.ratio.push_back(wc / bc);
        if (wc / bc > best) {
            best = wc / bc;
            r.argmax = k;
        }
    }
    return r;
}

std::string fmt(double v)
{
    std::ostringstream s;
    s << v;
    return s.str();
}

void configure(FIRwStepRespList& list, Table& table, int n, std::vector<double>* channel)
{
    list.ChannelImpulse = channel;
    list.BitRate = kBitRate;
    list.SamplesPerBit = kSpb;
    list.NumStepResp = n;
    list.StepResp_data_values = table.ptr();
    list.ColumnArrangement = 1;
    list.InterpolationType = 2;
}

const std::vector<double> kEmphasis = {0.0, 0.15, 0.3, 0.45, 0.6, 0.75, 0.9, 1.05};

}  // namespace

TEST(FIRwStepRespListSetup, EveryFailingCheckWritesItsLineInOrder)
{
    FIRwStepRespList list;
    Table table = makeTable(kEmphasis);
    list.StepResp_data_values = table.ptr();
    list.NumStepResp = 4;
    list.ChannelImpulse = nullptr;
    list.BitRate = 0.0;
    list.SamplesPerBit = 3;
    list.StepRespIndex = 5;
    list.AdaptForLogicLevel = -1;
    list.LogicLevel = 0.0;
    list.AdaptStepRespIndex = 0;
    std::stringstream msg;
    EXPECT_FALSE(list.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "ChannelImpulse vector size must be > 0.\n"
                         "BitRate must be > 0.\n"
                         "SamplesPerBit must be and integer >= 4.\n"
                         "StepRespIndex must be an integer in the range [1, 4].\n"
                         "AdaptForLogicLevel must be an integer either 0 or 1.\n"
                         "LogicLevel must be > 0.\n");

    FIRwStepRespList other;
    std::vector<double> empty;
    other.ChannelImpulse = &empty;
    other.StepResp_data_values = table.ptr();
    other.NumStepResp = 4;
    other.AdaptStepRespIndex = 2;
    other.StepRespIndex = 9;
    std::stringstream msg2;
    EXPECT_FALSE(other.Setup(nullptr, msg2));
    // The index range is checked only without the index adaptation.
    EXPECT_EQ(msg2.str(), "ChannelImpulse vector size must be > 0.\n"
                          "AdaptStepRespIndex must be an integer either 0 or 1.\n");
}

TEST(FIRwStepRespListSetup, IndexAdaptationIgnoresAndResetsTheIndex)
{
    FIRwStepRespList list;
    Table table = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(300e-12, 80);
    configure(list, table, 8, &ch);
    list.AdaptStepRespIndex = 1;
    list.StepRespIndex = 42;
    std::stringstream msg;
    EXPECT_TRUE(list.Setup(nullptr, msg)) << msg.str();
    EXPECT_EQ(list.StepRespIndex, 1);
    EXPECT_EQ(msg.str(), "");
}

TEST(FIRwStepRespListSetup, GainFromDecibelsOrUnityWithLevelAdaptation)
{
    Table table = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(300e-12, 80);
    FIRwStepRespList a;
    configure(a, table, 8, &ch);
    a.StepRespIndex = 3;
    a.Gain_dB = 6.0;
    std::stringstream m;
    ASSERT_TRUE(a.Setup(nullptr, m));
    EXPECT_DOUBLE_EQ(a.Gain, std::pow(10.0, 0.3));
    FIRwStepRespList b;
    configure(b, table, 8, &ch);
    b.StepRespIndex = 3;
    b.Gain_dB = 6.0;
    b.AdaptForLogicLevel = 1;
    ASSERT_TRUE(b.Setup(nullptr, m));
    EXPECT_EQ(b.Gain, 1.0);
}

TEST(FIRwStepRespListAdaptation, ChoosesTheBruteForceArgmaxWithExactRatio)
{
    Table table = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(200e-12, 120);
    const Reference ref = referenceSearch(table, 8, ch, 0.5);
    // The data are made so that the best state is an inner one.
    ASSERT_GT(ref.argmax, 1);
    ASSERT_LT(ref.argmax, 8);

    FIRwStepRespList list;
    configure(list, table, 8, &ch);
    list.AdaptStepRespIndex = 1;
    std::stringstream msg;
    ASSERT_TRUE(list.Setup(nullptr, msg));
    ASSERT_TRUE(list.Initialize(msg)) << msg.str();
    EXPECT_EQ(list.StepRespIndex, ref.argmax);
    EXPECT_EQ(list.BestEyeRatio, ref.ratio[ref.argmax - 1]);
    EXPECT_FALSE(list.ChannelInverted);
    EXPECT_EQ(list.ChannelLength, 120);
    EXPECT_EQ(
        msg.str(),
        "Adaptation of the channel+equalizer for best eye opening results in step response data index = " +
            std::to_string(ref.argmax) + " with eye opening ratio = " + fmt(ref.ratio[ref.argmax - 1]) +
            "\n");
    // The list is left set up for the chosen state.
    EXPECT_EQ(list.Taps(), stateTaps(table, 8, ref.argmax));
}

TEST(FIRwStepRespListAdaptation, TiesGoToTheLowerIndex)
{
    // The best state is duplicated right after itself: the two tie.
    Table base = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(200e-12, 120);
    const Reference ref = referenceSearch(base, 8, ch, 0.5);
    const int best = ref.argmax;
    Table table = base;
    table.cols.insert(table.cols.begin() + best + 1, table.cols[best]);
    FIRwStepRespList list;
    configure(list, table, 9, &ch);
    list.AdaptStepRespIndex = 1;
    list.SuppressMessages = 1;
    std::stringstream msg;
    ASSERT_TRUE(list.Setup(nullptr, msg));
    ASSERT_TRUE(list.Initialize(msg)) << msg.str();
    EXPECT_EQ(list.StepRespIndex, best);
    EXPECT_EQ(msg.str(), "");
}

TEST(FIRwStepRespListAdaptation, InvertedChannelChoosesTheSameState)
{
    Table table = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(200e-12, 120);
    std::vector<double> neg(ch);
    for (double& s : neg)
        s = -s;
    FIRwStepRespList a, b;
    configure(a, table, 8, &ch);
    configure(b, table, 8, &neg);
    a.AdaptStepRespIndex = b.AdaptStepRespIndex = 1;
    std::stringstream ma, mb;
    ASSERT_TRUE(a.Setup(nullptr, ma) && a.Initialize(ma));
    ASSERT_TRUE(b.Setup(nullptr, mb) && b.Initialize(mb));
    EXPECT_TRUE(b.ChannelInverted);
    EXPECT_EQ(a.StepRespIndex, b.StepRespIndex);
    EXPECT_EQ(a.BestEyeRatio, b.BestEyeRatio);
    EXPECT_EQ(ma.str(), mb.str());
}

TEST(FIRwStepRespListAdaptation, ClosedEyeKeepsTheLeastClosedState)
{
    Table table = makeTable({0.0, 0.05, 0.1});
    // A very slow channel: no state opens the eye.
    std::vector<double> ch = makeChannel(3000e-12, 400);
    const Reference ref = referenceSearch(table, 3, ch, 0.5);
    for (double r : ref.ratio)
        ASSERT_LE(r, 0.0);
    FIRwStepRespList list;
    configure(list, table, 3, &ch);
    list.AdaptStepRespIndex = 1;
    std::stringstream msg;
    ASSERT_TRUE(list.Setup(nullptr, msg) && list.Initialize(msg)) << msg.str();
    EXPECT_EQ(list.StepRespIndex, ref.argmax);
    EXPECT_EQ(
        msg.str(),
        "Adaptation of the channel+equalizer for best eye opening results in step response data index = " +
            std::to_string(ref.argmax) + ", but the eye is still closed.\n");
}

TEST(FIRwStepRespListAdaptation, TrailingZerosOfTheChannelAreNotConvolved)
{
    Table table = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(300e-12, 100);
    std::vector<double> padded(ch);
    padded.resize(160, 0.0);
    FIRwStepRespList a, b;
    configure(a, table, 8, &ch);
    configure(b, table, 8, &padded);
    a.AdaptStepRespIndex = b.AdaptStepRespIndex = 1;
    std::stringstream ma, mb;
    ASSERT_TRUE(a.Setup(nullptr, ma) && a.Initialize(ma));
    ASSERT_TRUE(b.Setup(nullptr, mb) && b.Initialize(mb));
    EXPECT_EQ(b.ChannelLength, 100);
    EXPECT_EQ(b.ChImpulse.size(), 100 + b.Taps().size());
    EXPECT_EQ(a.StepRespIndex, b.StepRespIndex);
    EXPECT_EQ(a.BestEyeRatio, b.BestEyeRatio);
}

TEST(FIRwStepRespListAdaptation, AllZeroChannelKeepsTheFirstStateWithoutNaN)
{
    Table table = makeTable(kEmphasis);
    std::vector<double> ch(50, 0.0);
    FIRwStepRespList list;
    configure(list, table, 8, &ch);
    list.AdaptStepRespIndex = 1;
    list.AdaptForLogicLevel = 1;
    std::stringstream msg;
    ASSERT_TRUE(list.Setup(nullptr, msg));
    ASSERT_TRUE(list.Initialize(msg)) << msg.str();
    EXPECT_EQ(list.StepRespIndex, 1);
    EXPECT_EQ(list.ChannelLength, 1);
    EXPECT_EQ(list.Gain, 1.0);
    EXPECT_EQ(list.Gain_dB, 0.0);
    EXPECT_EQ(
        msg.str(),
        "Adaptation of the channel+equalizer for best eye opening results in step response data index = 1, "
        "but the eye is still closed.\n"
        "To adapt for channel+equalizer loss relative to the LogicLevel = 0.5, a gain of 0 dB is added at "
        "the equalizer output.\n");
}

TEST(FIRwStepRespListAdaptation, FailingStateReportsItsMessagesAndKeepsTheBestSoFar)
{
    // Separate-columns layout; state 3 has only two rows with positive time.
    Table good = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(200e-12, 120);
    const Reference ref = referenceSearch(good, 2, ch, 0.5);
    Table table;
    const size_t rows = good.cols[0].size();
    for (int k = 1; k <= 3; ++k) {
        table.cols.push_back(good.cols[0]);
        table.cols.push_back(good.cols[k]);
    }
    for (size_t j = 3; j < rows; ++j)
        table.cols[4][j] = 0.0;
    FIRwStepRespList list;
    configure(list, table, 3, &ch);
    list.ColumnArrangement = 0;
    list.AdaptStepRespIndex = 1;
    std::stringstream msg;
    ASSERT_TRUE(list.Setup(nullptr, msg));
    EXPECT_FALSE(list.Initialize(msg));
    EXPECT_EQ(msg.str(), "At least 4 step response values are required.\n");
    EXPECT_EQ(list.StepRespIndex, ref.argmax);
}

TEST(FIRwStepRespListGain, OpenEyeBringsTheMeanUpperLevelToLogicLevel)
{
    Table table = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(200e-12, 120);
    const Reference ref = referenceSearch(table, 8, ch, 0.4);
    const int k = ref.argmax;
    ASSERT_GT(ref.wc[k - 1], 0.0);
    FIRwStepRespList list;
    configure(list, table, 8, &ch);
    list.StepRespIndex = k;
    list.LogicLevel = 0.4;
    list.AdaptForLogicLevel = 1;
    std::stringstream msg;
    ASSERT_TRUE(list.Setup(nullptr, msg));
    ASSERT_TRUE(list.Initialize(msg)) << msg.str();
    const double gain = 0.4 / ((ref.bc[k - 1] + ref.wc[k - 1]) * 0.5);
    EXPECT_DOUBLE_EQ(list.Gain, gain);
    EXPECT_DOUBLE_EQ(list.Gain_dB, 20 * std::log10(gain));
    EXPECT_EQ(msg.str(),
              "Channel+equalizer eye opening ratio = " + fmt(ref.wc[k - 1] / ref.bc[k - 1]) +
                  ".\nTo adapt for channel+equalizer loss relative to the LogicLevel = 0.4, a gain of " +
                  fmt(list.Gain_dB) + " dB is added at the equalizer output.\n");

    // The trial convolution left no state behind: streaming a unit impulse
    // gives the taps times the gain, from time 0 in steps of the sample interval.
    const std::vector<double> taps = stateTaps(table, 8, k);
    for (size_t i = 0; i < taps.size() + 3; ++i) {
        list.Input = (i == 0) ? 1.0 : 0.0;
        list.Run(msg);
        EXPECT_EQ(list.Output, (i < taps.size() ? taps[i] : 0.0) * list.Gain) << i;
        EXPECT_DOUBLE_EQ(list.Time, i * kTs);
    }
    EXPECT_EQ(list.SampleCount, static_cast<std::int64_t>(taps.size() + 3));
}

TEST(FIRwStepRespListGain, ClosedEyeUsesTheBestCaseLevel)
{
    Table table = makeTable({0.0, 0.05});
    std::vector<double> ch = makeChannel(3000e-12, 400);
    const Reference ref = referenceSearch(table, 2, ch, 0.5);
    ASSERT_LE(ref.wc[0], 0.0);
    FIRwStepRespList list;
    configure(list, table, 2, &ch);
    list.StepRespIndex = 1;
    list.AdaptForLogicLevel = 1;
    std::stringstream msg;
    ASSERT_TRUE(list.Setup(nullptr, msg) && list.Initialize(msg));
    EXPECT_DOUBLE_EQ(list.Gain, 0.5 / ref.bc[0]);
    EXPECT_EQ(msg.str(),
              "Channel+equalizer eye is closed.\nTo adapt for channel+equalizer loss relative to the "
              "LogicLevel = 0.5, a gain of " +
                  fmt(list.Gain_dB) + " dB is added at the equalizer output.\n");
}

TEST(FIRwStepRespListRun, StreamsTheChosenTapsTimesGain)
{
    Table table = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(300e-12, 60);
    FIRwStepRespList list;
    configure(list, table, 8, &ch);
    list.StepRespIndex = 5;
    list.Gain_dB = -6.0;
    std::stringstream msg;
    ASSERT_TRUE(list.Setup(nullptr, msg) && list.Initialize(msg)) << msg.str();
    const std::vector<double> y = naiveConvolution(ch, stateTaps(table, 8, 5));
    for (size_t i = 0; i < y.size(); ++i) {
        list.Input = i < ch.size() ? ch[i] : 0.0;
        list.Run(msg);
        EXPECT_EQ(list.Output, y[i] * list.Gain) << i;
    }
    EXPECT_EQ(msg.str(), "");
}

TEST(FIRwStepRespListRun, ConvolveChImpFIRGivesTheFullConvolutionPlusOneSample)
{
    Table table = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(300e-12, 30);
    FIRwStepRespList list;
    configure(list, table, 8, &ch);
    list.StepRespIndex = 2;
    std::stringstream msg;
    ASSERT_TRUE(list.Setup(nullptr, msg) && list.Initialize(msg));
    std::vector<double> v(ch);
    v.push_back(123.0);  // beyond n: not part of the input
    list.convolveChImpFIR(v, 30, msg);
    const std::vector<double> y = naiveConvolution(ch, list.Taps());
    ASSERT_EQ(v.size(), y.size());
    for (size_t i = 0; i < y.size(); ++i)
        EXPECT_EQ(v[i], y[i]) << i;
    EXPECT_EQ(v.back(), 0.0);
}

TEST(FIRwStepRespListRun, RawRowsWithoutInterpolation)
{
    Table table = makeTable(kEmphasis, 10);
    std::vector<double> ch(1, 1.0);
    FIRwStepRespList list;
    configure(list, table, 8, &ch);
    list.StepRespIndex = 4;
    list.OutputStepRespData = 1;
    list.AdaptForLogicLevel = 1;  // forced off by the raw mode
    std::stringstream msg;
    ASSERT_TRUE(list.Setup(nullptr, msg));
    EXPECT_EQ(list.AdaptForLogicLevel, 0);
    ASSERT_TRUE(list.Initialize(msg)) << msg.str();
    for (int j = 0; j < 12; ++j) {
        list.Run(msg);
        const int row = j < 10 ? j : 9;
        EXPECT_EQ(list.Output, table.cols[4][row]);
        EXPECT_EQ(list.Time, table.cols[0][row]);
    }
}

TEST(FIRwStepRespListSetup, UseFileGetsTheClassLineOnce)
{
    const std::string path = ::testing::TempDir() + "firwstepresplist_use.txt";
    {
        std::ofstream use(path);
        Table table = makeTable(kEmphasis);
        std::vector<double> ch(1, 1.0);
        FIRwStepRespList list;
        configure(list, table, 8, &ch);
        list.StepRespIndex = 1;
        std::stringstream msg;
        ASSERT_TRUE(list.Setup(&use, msg));
        ASSERT_TRUE(list.Setup(&use, msg));
    }
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find("Veltramodels20200612::FIRwStepRespList\n"), 0u);
    EXPECT_EQ(text.find("Veltramodels20200612::FIRwStepRespList\n", 1), std::string::npos);
}
