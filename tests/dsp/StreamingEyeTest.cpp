// StreamingEye against the whole-vector eye (ImpulseOperations::
// determineEyeBcWcUpperLevels on ImpulseToWorstCaseEye): impulses fed in
// blocks of many sizes, open, closed and inverted eyes, pulse input, and
// the inputs it refuses.
#include "dsp/StreamingEye.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <vector>

#include "dsp/ImpulseOperations.h"

using namespace Veltramodels20200612;

namespace {

const double kEps = std::numeric_limits<double>::epsilon();

struct Levels {
    double bc = 0.0, wc = 0.0;
};

Levels wholeVector(const std::vector<double>& h, int s, double level)
{
    ImpulseOperations ops(nullptr);
    std::stringstream msg;
    Levels l;
    EXPECT_TRUE(ops.determineEyeBcWcUpperLevels(h, s, level, &l.bc, &l.wc, msg));
    return l;
}

// Feeds h in blocks whose sizes cycle through `blocks`.
Levels streamed(const std::vector<double>& h, int s, double level, const std::vector<std::size_t>& blocks,
                StreamingEye::Input input = StreamingEye::Input::Impulse)
{
    StreamingEye eye;
    EXPECT_TRUE(eye.Start(s, level, input));
    std::size_t at = 0, b = 0;
    while (at < h.size()) {
        const std::size_t count = std::min(blocks[b++ % blocks.size()], h.size() - at);
        eye.Add(h.data() + at, count);
        at += count;
    }
    Levels l;
    EXPECT_TRUE(eye.Levels(&l.bc, &l.wc));
    return l;
}

// Each level is one phase sum of about n/S + 2 pulse samples, added in index
// order by the whole-vector eye and as (sum of magnitudes) corrected by the
// cursor here. Each order is within (terms) eps of the exact sum of
// magnitudes, which is at most L S sum|h| (a pulse sample is L times a sum of
// S impulse samples).
double tolerance(const std::vector<double>& h, int s, double level)
{
    double sum = 0.0;
    for (double v : h)
        sum += std::fabs(v);
    const double terms = static_cast<double>(h.size()) / s + 4.0;
    return 2.0 * kEps * terms * level * s * sum;
}

// A lossy channel: a pulse of three equal poles tau bits wide after a delay,
// with a rippling reflection tail, s samples per bit.
std::vector<double> lossyChannel(std::size_t n, int s, double tauBits)
{
    std::vector<double> h(n);
    const double tau = tauBits * s;
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) + 1.0;
        h[i] = (t / tau) * (t / tau) * std::exp(-t / tau) +
               0.01 * std::exp(-t / (n / 3.0)) * std::cos(2.0 * M_PI * t / (7.3 * s));
    }
    return h;
}

// The channel through a de-emphasis filter: one main tap and a negative
// post-cursor one bit later.
std::vector<double> emphasised(const std::vector<double>& h, int s, double post)
{
    std::vector<double> y(h.size() + s, 0.0);
    for (std::size_t i = 0; i < h.size(); ++i) {
        y[i] += h[i];
        y[i + s] -= post * h[i];
    }
    return y;
}

void expectSame(const Levels& got, const Levels& want, double tol, const char* what)
{
    EXPECT_NEAR(got.bc, want.bc, tol) << what;
    EXPECT_NEAR(got.wc, want.wc, tol) << what;
}

}  // namespace

TEST(StreamingEye, ImpulseInBlocksMatchesTheWholeVectorEye)
{
    const std::vector<std::vector<std::size_t>> blockings = {{1},    {7},      {32},
                                                             {1000}, {100000}, {3, 250, 1, 64}};
    for (int s : {4, 7, 32}) {
        for (double tauBits : {0.3, 1.5, 4.0}) {
            const std::vector<double> h = emphasised(lossyChannel(60 * s + 13, s, tauBits), s, 0.2);
            const Levels want = wholeVector(h, s, 0.5);
            for (const auto& blocks : blockings) {
                const Levels got = streamed(h, s, 0.5, blocks);
                expectSame(got, want, tolerance(h, s, 0.5), "open or partly open eye");
            }
        }
    }
}

// A block whose only news is a higher peak at any one position: the quick
// test that settles blocks with no new peak must not miss it, wherever it
// falls among the samples that test compares together.
TEST(StreamingEye, NewPeakAnywhereInABlockIsFound)
{
    // One sample per bit makes the pulse peak a single sample.
    for (int s : {1, 4}) {
        for (std::size_t at = 0; at < 13; ++at) {
            // Small ripple, so that the levels depend on where the peak is.
            std::vector<double> h(96);
            for (std::size_t i = 0; i < h.size(); ++i)
                h[i] = 0.02 * std::sin(0.7 * static_cast<double>(i) + 0.3);
            h[3] = 0.4;        // the first block's peak
            h[16 + at] = 1.0;  // the higher one, in the second block
            const Levels want = wholeVector(h, s, 0.5);
            for (StreamingEye::Input input :
                 {StreamingEye::Input::Impulse, StreamingEye::Input::PositiveGoingImpulse}) {
                const Levels got = streamed(h, s, 0.5, {16, 13, 67}, input);
                expectSame(got, want, tolerance(h, s, 0.5), "peak in the second block");
            }
        }
    }
}

// More samples per bit than the eye forms pulse samples per piece: the
// pulse's tail after the impulse is longer than one piece.
TEST(StreamingEye, ManySamplesPerBit)
{
    const int s = 1500;
    const std::vector<double> h = emphasised(lossyChannel(3 * s, s, 0.8), s, 0.25);
    const Levels want = wholeVector(h, s, 0.5);
    expectSame(streamed(h, s, 0.5, {700, 4096}), want, tolerance(h, s, 0.5), "S = 1500");
}

// The documented example: impulse (1), S = 4, L = 0.5 gives Bc = Wc = 0.5.
TEST(StreamingEye, SingleSampleImpulse)
{
    StreamingEye eye;
    ASSERT_TRUE(eye.Start(4, 0.5, StreamingEye::Input::Impulse));
    const double one = 1.0;
    eye.Add(&one, 1);
    double bc = 0.0, wc = 0.0;
    ASSERT_TRUE(eye.Levels(&bc, &wc));
    EXPECT_DOUBLE_EQ(bc, 0.5);
    EXPECT_DOUBLE_EQ(wc, 0.5);
}

// Strong ISI closes the eye at every phase (no crossing): the levels are
// taken at the largest worst-case level, which is negative.
TEST(StreamingEye, ClosedEyeMatches)
{
    const int s = 8;
    const std::vector<double> h = lossyChannel(400, s, 6.0);
    const Levels want = wholeVector(h, s, 0.5);
    ASSERT_LT(want.wc, 0.0) << "the channel must close the eye for this test";
    expectSame(streamed(h, s, 0.5, {5, 40}), want, tolerance(h, s, 0.5), "closed eye");
}

// An impulse whose largest-magnitude sample is negative is measured negated
// and its curves negated back, as by the whole-vector eye.
TEST(StreamingEye, InvertedImpulseMatches)
{
    const int s = 16;
    std::vector<double> h = emphasised(lossyChannel(900, s, 1.0), s, 0.3);
    for (double& v : h)
        v = -v;
    const Levels want = wholeVector(h, s, 0.25);
    expectSame(streamed(h, s, 0.25, {17, 300}), want, tolerance(h, s, 0.25), "inverted");
    // And it differs from the levels of the positive copy.
    std::vector<double> positive(h);
    for (double& v : positive)
        v = -v;
    const Levels pos = wholeVector(positive, s, 0.25);
    EXPECT_NE(want.bc, pos.bc);
    // As a positive-going impulse it gives the levels of its negation, as
    // the equaliser searches measure a negated trial; an impulse that is
    // already positive-going is measured as it is.
    expectSame(streamed(h, s, 0.25, {17, 300}, StreamingEye::Input::PositiveGoingImpulse), pos,
               tolerance(h, s, 0.25), "positive-going of inverted");
    expectSame(streamed(positive, s, 0.25, {64}, StreamingEye::Input::PositiveGoingImpulse), pos,
               tolerance(h, s, 0.25), "positive-going of positive");
}

// Trailing zeros change nothing; leading zeros move the pulse but not the
// levels.
TEST(StreamingEye, ZerosAroundTheImpulse)
{
    const int s = 8;
    std::vector<double> h = lossyChannel(300, s, 1.0);
    const Levels base = wholeVector(h, s, 0.5);
    std::vector<double> padded(5, 0.0);
    padded.insert(padded.end(), h.begin(), h.end());
    padded.insert(padded.end(), 50, 0.0);
    expectSame(streamed(padded, s, 0.5, {11}), base, tolerance(h, s, 0.5), "zeros around");
}

// Pulse input: the one-bit pulse formed by the caller (here the impulse
// convolved with L times S ones, as a box folded into taps gives it) yields
// the levels of the impulse.
TEST(StreamingEye, PulseInputMatchesImpulseInput)
{
    const int s = 32;
    const double level = 0.5;
    const std::vector<double> h = emphasised(lossyChannel(4000, s, 1.2), s, 0.15);
    std::vector<double> pulse(h.size() + s - 1, 0.0);
    for (std::size_t i = 0; i < h.size(); ++i)
        for (int j = 0; j < s; ++j)
            pulse[i + j] += level * h[i];
    const Levels want = wholeVector(h, s, level);
    expectSame(streamed(pulse, s, level, {3000, 1, 77}, StreamingEye::Input::Pulse), want,
               tolerance(h, s, level), "pulse input");
}

// Eyes fed together get, to the bit, what each gets fed alone: side by side
// where they are in step (blocks longer than a piece of the pulse buffer
// included, and eyes that have taken different numbers of samples, have
// different bits or are measured inverted), one by one where they cannot be
// (different counts, a pulse input).
TEST(StreamingEye, EyesFedTogetherMatchEyesFedAlone)
{
    const int s = 32;
    std::vector<std::vector<double>> h;
    for (int e = 0; e < 4; ++e)
        h.push_back(emphasised(lossyChannel(3000, s, 0.6 + 0.5 * e), s, 0.05 * e));
    struct Case {
        int number;
        std::vector<std::size_t> blocks;  // block sizes, cycled
        bool unequalCounts;               // eye 1 gets one sample less per block
        bool pulseEye;                    // eye 0 takes pulse input
        std::size_t headStart;            // samples eye 1 has taken before
        int bitOfEye1;                    // eye 1's samples per bit, when not s
        bool negatedEye2;                 // eye 2's impulse negated (measured inverted)
    };
    const Case cases[] = {
        {2, {1500}, false, false, 0, s, false},         {3, {7, 2500}, false, false, 0, s, false},
        {4, {1024, 1, 977}, false, false, 0, s, false}, {4, {300}, true, false, 0, s, false},
        {4, {300}, false, true, 0, s, false},           {2, {300}, false, false, 40, s, false},
        {4, {5, 300}, false, false, 40, 7, false},      {4, {1024, 3, 300}, false, false, 0, s, true}};
    for (const Case& c : cases) {
        std::vector<std::vector<double>> x = h;
        if (c.negatedEye2)
            for (double& v : x[2])
                v = -v;
        StreamingEye together[4], alone[4];
        for (int e = 0; e < c.number; ++e) {
            const StreamingEye::Input input = (c.pulseEye && e == 0)
                                                  ? StreamingEye::Input::Pulse
                                                  : StreamingEye::Input::PositiveGoingImpulse;
            const int bit = e == 1 ? c.bitOfEye1 : s;
            ASSERT_TRUE(together[e].Start(bit, 0.5, input));
            ASSERT_TRUE(alone[e].Start(bit, 0.5, input));
        }
        std::size_t at[4] = {0, 0, 0, 0};
        if (c.headStart > 0) {
            together[1].Add(x[1].data(), c.headStart);
            alone[1].Add(x[1].data(), c.headStart);
            at[1] = c.headStart;
        }
        for (std::size_t b = 0;; ++b) {
            StreamingEye* eyes[4];
            const double* blocks[4];
            std::size_t counts[4];
            bool any = false;
            for (int e = 0; e < c.number; ++e) {
                const std::size_t want = c.blocks[b % c.blocks.size()] - (c.unequalCounts && e == 1 ? 1 : 0);
                counts[e] = std::min(want, x[e].size() - at[e]);
                blocks[e] = x[e].data() + at[e];
                eyes[e] = &together[e];
                alone[e].Add(blocks[e], counts[e]);
                at[e] += counts[e];
                any = any || counts[e] > 0;
            }
            if (!any)
                break;
            StreamingEye::AddTogether(eyes, blocks, counts, c.number);
        }
        for (int e = 0; e < c.number; ++e) {
            Levels got, want;
            ASSERT_TRUE(together[e].Levels(&got.bc, &got.wc));
            ASSERT_TRUE(alone[e].Levels(&want.bc, &want.wc));
            EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0)
                << c.number << " eyes, eye " << e << ": " << got.bc << " " << got.wc << " vs " << want.bc
                << " " << want.wc;
        }
    }
}

TEST(StreamingEye, RefusesBadSettingsAndEmptyResponses)
{
    StreamingEye eye;
    EXPECT_FALSE(eye.Start(0, 0.5, StreamingEye::Input::Impulse));
    EXPECT_FALSE(eye.Start(4, 0.0, StreamingEye::Input::Impulse));
    EXPECT_FALSE(eye.Start(4, -1.0, StreamingEye::Input::Pulse));
    double bc = 7.0, wc = 8.0;
    EXPECT_FALSE(eye.Levels(&bc, &wc)) << "no valid Start";
    ASSERT_TRUE(eye.Start(4, 0.5, StreamingEye::Input::Impulse));
    EXPECT_FALSE(eye.Levels(&bc, &wc)) << "no sample";
    EXPECT_EQ(bc, 7.0);
    EXPECT_EQ(wc, 8.0);
    // Levels ends the response: a second call without a new Start fails.
    ASSERT_TRUE(eye.Start(4, 0.5, StreamingEye::Input::Pulse));
    const double p[3] = {0.1, 0.5, 0.1};
    eye.Add(p, 3);
    EXPECT_TRUE(eye.Levels(&bc, &wc));
    EXPECT_FALSE(eye.Levels(&bc, &wc));
}
