// The two shortcuts of the EQ list cascade that keep its results: a final
// evaluation repeated on the same channel and taps (the step-response
// section's rebuild for Run) reuses the previous response and eye levels, and
// RunBlock streams a whole block with the outputs of single Run calls. Both
// are checked against objects that take the long way, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "eq/FIRwMultipleStepRespLists.h"
#include "eq/FIRwStepRespList.h"

using namespace Veltramodels20200612;

namespace {

const double kBitRate = 4e9;
const int kSpb = 8;

struct Table {
    std::vector<std::vector<double>> cols;
    std::vector<double>* slot = nullptr;
    std::vector<double>** ptr()
    {
        slot = cols.data();
        return &slot;
    }
};

// Step responses with a shared time axis: a rise with a decaying overshoot.
Table makeTable(const std::vector<double>& emphasis, double rise = 30e-12)
{
    const int rows = 60;
    const double dt = 25e-12;
    Table t;
    t.cols.assign(emphasis.size() + 1, std::vector<double>(rows));
    for (int j = 0; j < rows; ++j) {
        const double time = j * dt;
        t.cols[0][j] = time;
        for (size_t k = 0; k < emphasis.size(); ++k)
            t.cols[k + 1][j] =
                (1.0 - std::exp(-time / rise)) * (1.0 + emphasis[k] * std::exp(-time / 200e-12));
    }
    return t;
}

// A lossy channel in gain per second (the cascade divides by the sample rate).
std::vector<double> makeChannel(int length, double tau, double ripple)
{
    std::vector<double> h(length);
    const double fs = kSpb * kBitRate;
    for (int i = 0; i < length; ++i) {
        const double x = i + 1.0;
        h[i] = fs *
               ((x / tau) * std::exp(-x / tau) + ripple * std::cos(x / 5.0) * std::exp(-x / (length / 2.0)));
    }
    return h;
}

bool bitwiseEqual(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

struct Cascade {
    Table t1 = makeTable({0.0, 0.2, 0.4, 0.6, 0.8, 1.0});
    Table t2 = makeTable({0.0, 0.3, 0.5}, 45e-12);
    FIRwMultipleStepRespLists eq;
    std::stringstream msg;
    Cascade(std::vector<double>* channel, int lists, int adaptIndex, int adaptLevel)
    {
        eq.ChannelImpulse = channel;
        eq.BitRate = kBitRate;
        eq.SamplesPerBit = kSpb;
        eq.EQ1_NumStepResp = 6;
        eq.EQ1_StepResp_data_values = t1.ptr();
        eq.EQ1_ColumnArrangement = 1;
        eq.EQ1_StepRespIndex = 4;
        if (lists >= 2) {
            eq.EQ2_NumStepResp = 3;
            eq.EQ2_StepResp_data_values = t2.ptr();
            eq.EQ2_ColumnArrangement = 1;
            eq.EQ2_StepRespIndex = 2;
        }
        eq.AdaptStepRespIndex = adaptIndex;
        eq.AdaptForChLoss = adaptLevel;
        eq.AGC_Level = 0.8;
        eq.Gain_dB = adaptLevel == 0 ? -1.7 : 0.0;
    }
    // With a use file every evaluation is done in full (nothing may be
    // skipped that would log), which makes the reference.
    std::ofstream log;
    bool init(bool logged = false)
    {
        if (logged)
            log.open("/dev/null");
        return eq.Setup(logged ? &log : nullptr, msg) && eq.Initialize(msg);
    }
    // The section's rebuild for Run: search off, set up and initialised again.
    bool rebuild()
    {
        eq.Finalize();
        eq.AdaptStepRespIndex = 0;
        std::stringstream scratch;
        return eq.Setup(nullptr, scratch) && eq.Initialize(scratch);
    }
};

void expectSameResults(FIRwMultipleStepRespLists& a, FIRwMultipleStepRespLists& b)
{
    EXPECT_TRUE(bitwiseEqual(a.EqualizedResponse, b.EqualizedResponse));
    EXPECT_TRUE(sameBits(a.Gain, b.Gain)) << a.Gain << " vs " << b.Gain;
    EXPECT_TRUE(sameBits(a.Gain_dB, b.Gain_dB)) << a.Gain_dB << " vs " << b.Gain_dB;
    EXPECT_TRUE(sameBits(a.BestEyeRatio, b.BestEyeRatio)) << a.BestEyeRatio << " vs " << b.BestEyeRatio;
    EXPECT_EQ(a.EQ1_StepRespIndex, b.EQ1_StepRespIndex);
    EXPECT_EQ(a.EQ2_StepRespIndex, b.EQ2_StepRespIndex);
}

// Streams n samples (the channel, then zeros) through both cascades, one by
// Run and one by RunBlock in uneven pieces, and compares every output.
void expectSameStream(FIRwMultipleStepRespLists& single, FIRwMultipleStepRespLists& block,
                      const std::vector<double>& input)
{
    std::stringstream m;
    std::vector<double> expected(input.size());
    for (size_t i = 0; i < input.size(); ++i) {
        single.Input = input[i];
        single.Run(m);
        expected[i] = single.FinalOutput();
    }
    std::vector<double> got(input);
    const std::int64_t pieces[] = {1, 333, 7, 4096, 2};
    std::int64_t pos = 0;
    for (int p = 0; pos < static_cast<std::int64_t>(got.size()); ++p) {
        const std::int64_t len =
            std::min<std::int64_t>(pieces[p % 5], static_cast<std::int64_t>(got.size()) - pos);
        block.RunBlock(got.data() + pos, got.data() + pos, len, m);
        pos += len;
    }
    ASSERT_TRUE(bitwiseEqual(expected, got));
    EXPECT_TRUE(sameBits(single.EQ1_Output, block.EQ1_Output));
    EXPECT_TRUE(sameBits(single.EQ2_Output, block.EQ2_Output));
    EXPECT_TRUE(sameBits(single.EQ3_Output, block.EQ3_Output));
    EXPECT_TRUE(sameBits(single.EQ4_Output, block.EQ4_Output));
    EXPECT_EQ(single.SampleCount, block.SampleCount);
    EXPECT_TRUE(sameBits(single.EQ1.Time, block.EQ1.Time));
}

}  // namespace

TEST(CascadeRepeatTest, RebuildGivesTheResultsOfAFreshEvaluation)
{
    for (int lists = 1; lists <= 2; ++lists) {
        for (int adaptIndex = 0; adaptIndex <= 1; ++adaptIndex) {
            for (int level : {0, 1, 2, 3}) {
                SCOPED_TRACE(testing::Message()
                             << "lists " << lists << " search " << adaptIndex << " level " << level);
                std::vector<double> channel = makeChannel(900, 12.0, 0.01);
                Cascade repeated(&channel, lists, adaptIndex, level);
                ASSERT_TRUE(repeated.init()) << repeated.msg.str();
                ASSERT_TRUE(repeated.rebuild());
                // The same calls on an object that evaluates in full every
                // time.
                Cascade full(&channel, lists, adaptIndex, level);
                ASSERT_TRUE(full.init(true)) << full.msg.str();
                ASSERT_TRUE(full.rebuild());
                expectSameResults(repeated.eq, full.eq);
                EXPECT_EQ(repeated.msg.str(), full.msg.str());
                // A further rebuild (the kept results have served their one
                // repeat) still agrees.
                ASSERT_TRUE(repeated.rebuild() && full.rebuild());
                expectSameResults(repeated.eq, full.eq);
            }
        }
    }
}

TEST(CascadeRepeatTest, ChangedChannelOrTablesAreEvaluatedAgain)
{
    std::vector<double> channel = makeChannel(700, 10.0, 0.02);
    Cascade a(&channel, 2, 0, 3);
    ASSERT_TRUE(a.init());
    const std::vector<double> first = a.eq.EqualizedResponse;

    // Same length, one sample changed: a new response.
    channel[350] *= 1.5;
    ASSERT_TRUE(a.rebuild());
    std::vector<double> changed = channel;
    Cascade b(&changed, 2, 0, 3);
    ASSERT_TRUE(b.init(true) && b.rebuild());
    expectSameResults(a.eq, b.eq);
    EXPECT_FALSE(bitwiseEqual(first, a.eq.EqualizedResponse));

    // Same channel, a table edited in place behind the same pointer.
    for (double& v : a.t2.cols[2])
        v *= 0.5;
    ASSERT_TRUE(a.rebuild());
    Cascade c(&changed, 2, 0, 3);
    for (double& v : c.t2.cols[2])
        v *= 0.5;
    ASSERT_TRUE(c.init(true) && c.rebuild() && c.rebuild());
    expectSameResults(a.eq, c.eq);

    // Another logic level changes the eye levels, hence the gain.
    a.eq.LogicLevel = 0.3;
    ASSERT_TRUE(a.rebuild());
    Cascade d(&changed, 2, 0, 3);
    for (double& v : d.t2.cols[2])
        v *= 0.5;
    ASSERT_TRUE(d.init(true) && d.rebuild() && d.rebuild());
    d.eq.LogicLevel = 0.3;
    ASSERT_TRUE(d.rebuild());
    expectSameResults(a.eq, d.eq);
}

TEST(CascadeRepeatTest, MessagesOfTheRepeatedEvaluationAreThoseOfTheFirst)
{
    std::vector<double> channel = makeChannel(500, 9.0, 0.0);
    Cascade a(&channel, 2, 0, 1);
    ASSERT_TRUE(a.init());
    const std::string first = a.msg.str();
    a.eq.Finalize();
    std::stringstream again;
    ASSERT_TRUE(a.eq.Setup(nullptr, again) && a.eq.Initialize(again));
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(again.str(), first);
}

TEST(CascadeBlockTest, RunBlockMatchesRunCallsBitForBit)
{
    for (int lists = 1; lists <= 2; ++lists) {
        SCOPED_TRACE(lists);
        std::vector<double> channel = makeChannel(3000, 15.0, 0.01);
        Cascade single(&channel, lists, 0, 1);
        Cascade block(&channel, lists, 0, 1);
        ASSERT_TRUE(single.init() && block.init());
        std::vector<double> input(channel.size() + 200, 0.0);
        for (size_t i = 0; i < channel.size(); ++i)
            input[i] = channel[i] * 0.75;
        expectSameStream(single.eq, block.eq, input);
    }
}

TEST(CascadeBlockTest, PureGainCascadeAndRawListOutputStreamLikeRun)
{
    // No list states: the cascade is a gain.
    std::vector<double> channel = makeChannel(100, 5.0, 0.0);
    Cascade single(&channel, 1, 0, 0), block(&channel, 1, 0, 0);
    single.eq.EQ1_NumStepResp = block.eq.EQ1_NumStepResp = 0;
    ASSERT_TRUE(single.init() && block.init());
    expectSameStream(single.eq, block.eq, channel);

    // A list passing its table rows through unchanged.
    Table t = makeTable({0.0, 0.5});
    FIRwStepRespList a, b;
    std::vector<double> one(1, 1.0);
    for (FIRwStepRespList* l : {&a, &b}) {
        l->ChannelImpulse = &one;
        l->BitRate = kBitRate;
        l->SamplesPerBit = kSpb;
        l->NumStepResp = 2;
        l->StepRespIndex = 2;
        l->StepResp_data_values = t.ptr();
        l->ColumnArrangement = 1;
        l->OutputStepRespData = 1;
        std::stringstream m;
        ASSERT_TRUE(l->Setup(nullptr, m) && l->Initialize(m)) << m.str();
    }
    std::stringstream m;
    std::vector<double> expected(80), got(80, 0.0);
    for (size_t i = 0; i < expected.size(); ++i) {
        a.Input = 0.0;
        a.Run(m);
        expected[i] = a.Output;
    }
    b.RunBlock(got.data(), got.data(), 80, m);
    EXPECT_TRUE(bitwiseEqual(expected, got));
    EXPECT_TRUE(sameBits(a.Time, b.Time));
    EXPECT_EQ(a.SampleCount, b.SampleCount);
}
