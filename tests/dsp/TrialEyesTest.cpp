// TrialEyes against trials built one by one: the channel convolved with each
// tap set by a direct loop, cut as a full-transform convolution cuts it
// (from the channel's first nonzero sample, trailing zeros dropped), made
// positive-going and measured by the whole-vector eye.
#include "dsp/TrialEyes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>
#include <vector>

#include "dsp/ImpulseOperations.h"

using namespace Veltramodels20200612;

namespace {

struct Levels {
    double bc, wc;
};

Levels bruteForce(const std::vector<double>& channel, const std::vector<double>& taps, int s, double level)
{
    std::size_t first = 0;
    while (channel[first] == 0.0)
        ++first;
    std::size_t cLast = channel.size() - 1, tLast = taps.size() - 1;
    while (channel[cLast] == 0.0)
        --cLast;
    while (taps[tLast] == 0.0)
        --tLast;
    std::vector<double> r;
    for (std::size_t t = first; t <= cLast + tLast; ++t) {
        double sum = 0.0;
        for (std::size_t i = 0; i <= tLast && i <= t; ++i)
            if (t - i < channel.size())
                sum += taps[i] * channel[t - i];
        r.push_back(sum);
    }
    std::size_t peak = 0;
    for (std::size_t i = 1; i < r.size(); ++i)
        if (std::fabs(r[i]) > std::fabs(r[peak]))
            peak = i;
    if (r[peak] < 0.0)
        for (double& v : r)
            v = -v;
    ImpulseOperations ops(nullptr);
    std::stringstream msg;
    Levels l{0.0, 0.0};
    EXPECT_TRUE(ops.determineEyeBcWcUpperLevels(r, s, level, &l.bc, &l.wc, msg));
    return l;
}

// A lossy pulse after a delay, s samples per bit, with a reflection.
std::vector<double> channelOf(std::size_t n, std::size_t delay, int s, double tauBits, double sign)
{
    std::vector<double> h(n, 0.0);
    const double tau = tauBits * s;
    for (std::size_t i = delay; i < n; ++i) {
        const double t = static_cast<double>(i - delay);
        h[i] = sign * (t / tau) * std::exp(-t / tau) / tau;
        if (i >= delay + 5 * static_cast<std::size_t>(s))
            h[i] -= 0.05 * sign * std::exp(-(t - 5.0 * s) / tau) / tau;
    }
    return h;
}

// Emphasis taps: a main tap and pre/post cursors one bit apart, spread.
std::vector<std::vector<double>> emphasisStates(int s, int states)
{
    std::vector<std::vector<double>> sets;
    for (int k = 0; k < states; ++k) {
        std::vector<double> t(3 * s + 7, 0.0);
        const double post = -0.04 * k, pre = -0.02 * (k % 3);
        for (int j = 0; j < 4; ++j) {
            t[j] += pre / 4;
            t[s + j] += (1.0 + post + pre) / 4;
            t[2 * s + j] += -post / 4;
        }
        if (k == 2)
            t.insert(t.begin(), 0.0);  // a leading zero tap
        sets.push_back(t);
    }
    return sets;
}

void expectClose(const TrialEyes::Levels& got, const Levels& want, const char* what)
{
    const double tol = 1e-12 * (std::fabs(want.bc) + std::fabs(want.wc) + 1e-300);
    EXPECT_NEAR(got.bc, want.bc, tol) << what;
    EXPECT_NEAR(got.wc, want.wc, tol) << what;
}

// Measures every tap set on ch and checks each against its trial built one
// by one; the levels are left in got.
void expectEveryTrialMatches(TrialEyes& eyes, const std::vector<double>& ch,
                             const std::vector<std::vector<double>>& sets, int s, double level,
                             std::vector<TrialEyes::Levels>& got, const char* what)
{
    ASSERT_TRUE(eyes.Measure(ch, sets, s, level, got)) << what;
    ASSERT_EQ(got.size(), sets.size()) << what;
    for (std::size_t k = 0; k < sets.size(); ++k)
        expectClose(got[k], bruteForce(ch, sets[k], s, level), what);
}

TEST(TrialEyes, EveryTrialMatchesTheTrialBuiltOneByOne)
{
    const int s = 16;
    const double level = 0.5;
    const std::vector<std::vector<double>> sets = emphasisStates(s, 6);
    for (double sign : {1.0, -1.0}) {
        TrialEyes eyes;
        std::vector<TrialEyes::Levels> got;
        expectEveryTrialMatches(eyes, channelOf(20000, 37, s, 2.5, sign), sets, s, level, got,
                                sign > 0 ? "positive" : "inverted");
        // The object is reused for another channel and fewer sets.
        const std::vector<std::vector<double>> two(sets.begin(), sets.begin() + 2);
        expectEveryTrialMatches(eyes, channelOf(3000, 0, s, 1.0, 1.0), two, s, level, got, "reused");
    }
}

// A short channel and many states: fewer blocks than tap sets, so the
// blocks' spectra are kept and the tap sets taken four at a time (the last
// group short); each trial is still its own convolution. Released, then
// measured again, the object gives the same levels to the bit.
TEST(TrialEyes, ShortChannelManyStatesMatchesTheTrialsBuiltOneByOne)
{
    const int s = 16;
    const double level = 0.5;
    const std::vector<std::vector<double>> sets = emphasisStates(s, 15);
    for (double sign : {1.0, -1.0}) {
        const std::vector<double> ch = channelOf(600, 11, s, 1.5, sign);
        TrialEyes eyes;
        std::vector<TrialEyes::Levels> got, again;
        expectEveryTrialMatches(eyes, ch, sets, s, level, got, sign > 0 ? "positive" : "inverted");
        eyes.Release();
        ASSERT_TRUE(eyes.Measure(ch, sets, s, level, again));
        ASSERT_EQ(again.size(), got.size());
        for (std::size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(again[k].bc, got[k].bc) << k;
            EXPECT_EQ(again[k].wc, got[k].wc) << k;
        }
    }
}

TEST(TrialEyes, RefusesWhatItCannotMeasure)
{
    TrialEyes eyes;
    std::vector<TrialEyes::Levels> got;
    const std::vector<std::vector<double>> sets = {{1.0, 0.5}};
    EXPECT_FALSE(eyes.Measure(std::vector<double>(100, 0.0), sets, 4, 0.5, got));
    const std::vector<double> ch = channelOf(200, 0, 4, 1.0, 1.0);
    EXPECT_FALSE(eyes.Measure(ch, {{0.0, 0.0}}, 4, 0.5, got));
    EXPECT_FALSE(eyes.Measure(ch, {{}}, 4, 0.5, got));
    EXPECT_FALSE(eyes.Measure(ch, {}, 4, 0.5, got));
    EXPECT_FALSE(eyes.Measure(ch, sets, 0, 0.5, got));
    EXPECT_FALSE(eyes.Measure(ch, sets, 4, 0.0, got));
    EXPECT_TRUE(eyes.Measure(ch, sets, 4, 0.5, got));
}

}  // namespace
