#include "dsp/ImpulseToWorstCaseEye.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using Veltramodels20200612::ImpulseToWorstCaseEye;

namespace {

struct Eye {
    ImpulseToWorstCaseEye eye;
    std::vector<double> impulse, wcU, wcL, bcU, bcL;
    std::stringstream msg;
    bool setupOk = false;
    bool initOk = false;

    Eye(const std::vector<double>& h, int s, double level, int normalization = 0, bool bestCase = true)
        : impulse(h)
    {
        eye.Impulse = &impulse;
        eye.SamplesPerBit = s;
        eye.LogicLevel = level;
        eye.Normalization = normalization;
        eye.WcUpperEye = &wcU;
        eye.WcLowerEye = &wcL;
        if (bestCase) {
            eye.BcUpperEye = &bcU;
            eye.BcLowerEye = &bcL;
        }
        setupOk = eye.Setup(nullptr, msg);
        if (setupOk)
            initOk = eye.Initialize(msg);
    }
};

std::vector<double> negated(const std::vector<double>& v)
{
    std::vector<double> r(v);
    for (double& x : r)
        x = -x;
    return r;
}

// The level sampled at phase i (relative to the start of bit 0, which is a
// logic one) for the worst and the best choice of all other bits, found by
// trying every pattern of the bits that reach phase i: the NRZ waveform of
// +-level per bit is convolved sample by sample with the impulse.
void bruteForceLevels(const std::vector<double>& h, int s, double level, long long i, double& worst,
                      double& best)
{
    const long long n = static_cast<long long>(h.size());
    const auto floorDiv = [](long long a, long long b) { return a >= 0 ? a / b : -((-a + b - 1) / b); };
    const long long firstBit = floorDiv(i - (n - 1), s);
    const long long lastBit = floorDiv(i, s);
    std::vector<long long> others;
    for (long long j = firstBit; j <= lastBit; ++j)
        if (j != 0)
            others.push_back(j);
    worst = 1e300;
    best = -1e300;
    for (unsigned long long pattern = 0; pattern < (1ull << others.size()); ++pattern) {
        const auto bitValue = [&](long long j) {
            if (j == 0)
                return level;
            for (std::size_t q = 0; q < others.size(); ++q)
                if (others[q] == j)
                    return ((pattern >> q) & 1u) ? level : -level;
            return 0.0;  // bits that cannot reach phase i
        };
        double y = 0.0;
        for (long long k = 0; k < n; ++k)
            y += h[k] * bitValue(floorDiv(i - k, s));
        worst = std::min(worst, y);
        best = std::max(best, y);
    }
}

// Pulse response of one bit (level for S samples), and its first largest
// positive sample.
long long pulsePeak(const std::vector<double>& h, int s, double level)
{
    const long long len = static_cast<long long>(h.size()) + s;
    long long peak = 0;
    double peakValue = 0.0;
    for (long long j = 0; j < len; ++j) {
        double p = 0.0;
        for (long long k = 0; k < static_cast<long long>(h.size()); ++k)
            if (j - k >= 0 && j - k < s)
                p += h[k] * level;
        if (p > peakValue + 1e-12) {
            peakValue = p;
            peak = j;
        }
    }
    return peak;
}

}  // namespace

TEST(ImpulseToWorstCaseEyeTest, WorkedExampleUnitImpulse)
{
    Eye e({1.0}, 4, 0.5);
    ASSERT_TRUE(e.setupOk);
    ASSERT_TRUE(e.initOk);
    EXPECT_EQ(e.msg.str(), "");
    // Before re-centring the eye spans phases 3..6: centre 4, shift 1.
    EXPECT_EQ(e.eye.EyeLeftIndex, 3);
    EXPECT_EQ(e.eye.EyeRightIndex, 6);
    EXPECT_EQ(e.eye.EyeCenterIndex, 4);
    EXPECT_EQ(e.eye.EyeShift, 1);
    EXPECT_EQ(e.wcU, (std::vector<double>{-0.5, -0.5, 0.5, 0.5, 0.5, 0.5, -0.5, -0.5}));
    EXPECT_EQ(e.wcL, (std::vector<double>{0.5, 0.5, -0.5, -0.5, -0.5, -0.5, 0.5, 0.5}));
    EXPECT_EQ(e.eye.WcRiseIndex, 2);
    EXPECT_EQ(e.eye.WcFallIndex, 5);
    EXPECT_EQ(e.bcU, std::vector<double>(8, 0.5));
    EXPECT_EQ(e.bcL, std::vector<double>(8, -0.5));
    EXPECT_EQ(e.eye.WcPeak, 0.5);
    EXPECT_EQ(e.eye.BcAtWcPeak, 0.5);
    EXPECT_EQ(e.eye.WcToBcRatio, 1.0);
    EXPECT_EQ(e.eye.SamplePhase, 1);
    EXPECT_EQ(e.eye.Inverted, 0);
}

TEST(ImpulseToWorstCaseEyeTest, CurvesEqualBruteForceOverBitPatterns)
{
    std::mt19937 gen(21);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int trial = 0; trial < 200; ++trial) {
        const int s = 1 + trial % 6;
        const std::size_t n = 1 + gen() % 7;
        std::vector<double> h(n);
        for (double& v : h)
            v = u(gen);
        const double level = 0.25 + 0.5 * (u(gen) + 1.0);
        Eye e(h, s, level);
        ASSERT_TRUE(e.initOk);

        // The eye of the impulse as given: if it was negated internally, the
        // curves come back negated, so compare against the working sign.
        const std::vector<double> work = e.eye.Inverted ? negated(h) : h;
        const double sign = e.eye.Inverted ? -1.0 : 1.0;
        const long long peak = pulsePeak(work, s, level);
        const long long half = s / 2;
        const long long shift =
            (e.eye.EyeShift != 0 && -half <= e.eye.EyeShift && e.eye.EyeShift < half) ? e.eye.EyeShift : 0;
        EXPECT_EQ(e.eye.SamplePhase, e.eye.EyeShift + peak % s);
        ASSERT_EQ(e.wcU.size(), 2u * s);
        for (int k = 0; k < 2 * s; ++k) {
            double worst, best;
            bruteForceLevels(work, s, level, peak - (s - 1) + shift + k, worst, best);
            EXPECT_NEAR(sign * e.wcU[k], worst, 1e-12) << "trial " << trial << " k " << k;
            EXPECT_NEAR(sign * e.bcU[k], best, 1e-12) << "trial " << trial << " k " << k;
            EXPECT_EQ(e.wcL[k], -e.wcU[k]);
            EXPECT_EQ(e.bcL[k], -e.bcU[k]);
        }
    }
}

TEST(ImpulseToWorstCaseEyeTest, NegativeImpulseGivesNegatedCurves)
{
    const std::vector<double> h = {0.1, 1.0, 0.3, -0.2, 0.05};
    Eye pos(h, 4, 0.5);
    Eye neg(negated(h), 4, 0.5);
    ASSERT_TRUE(pos.initOk);
    ASSERT_TRUE(neg.initOk);
    EXPECT_EQ(pos.eye.Inverted, 0);
    EXPECT_EQ(neg.eye.Inverted, 1);
    EXPECT_EQ(neg.wcU, negated(pos.wcU));
    EXPECT_EQ(neg.wcL, negated(pos.wcL));
    EXPECT_EQ(neg.bcU, negated(pos.bcU));
    EXPECT_EQ(neg.bcL, negated(pos.bcL));
    // The scalars are taken before the curves are negated back.
    EXPECT_EQ(neg.eye.WcPeak, pos.eye.WcPeak);
    EXPECT_EQ(neg.eye.WcToBcRatio, pos.eye.WcToBcRatio);
    EXPECT_EQ(neg.eye.EyeCenterIndex, pos.eye.EyeCenterIndex);
    EXPECT_EQ(neg.eye.SamplePhase, pos.eye.SamplePhase);
}

TEST(ImpulseToWorstCaseEyeTest, TrailingZerosChangeNothing)
{
    const std::vector<double> h = {0.0, 0.2, 1.0, 0.4, -0.1};
    std::vector<double> padded = h;
    padded.insert(padded.end(), 50, 0.0);
    Eye a(h, 8, 0.5);
    Eye b(padded, 8, 0.5);
    ASSERT_TRUE(a.initOk && b.initOk);
    EXPECT_EQ(a.wcU, b.wcU);
    EXPECT_EQ(a.bcU, b.bcU);
    EXPECT_EQ(a.eye.EyeCenterIndex, b.eye.EyeCenterIndex);
    EXPECT_EQ(a.eye.SamplePhase, b.eye.SamplePhase);
    EXPECT_EQ(a.eye.WcRiseIndex, b.eye.WcRiseIndex);
    EXPECT_EQ(a.eye.WcFallIndex, b.eye.WcFallIndex);
    EXPECT_EQ(a.eye.WcToBcRatio, b.eye.WcToBcRatio);
}

TEST(ImpulseToWorstCaseEyeTest, StrongIntersymbolInterferenceClosesTheEye)
{
    // One sample per bit: pulse (0.5, 0.45, 0.45, 0), peak 0. Worst case at the
    // peak 0.5 - 0.45 - 0.45 = -0.4, one bit later -0.5 + 0.45 - 0.45 = -0.5.
    Eye e({1.0, 0.9, 0.9}, 1, 0.5);
    ASSERT_TRUE(e.initOk);
    ASSERT_EQ(e.wcU.size(), 2u);
    EXPECT_NEAR(e.wcU[0], -0.4, 1e-15);
    EXPECT_NEAR(e.wcU[1], -0.5, 1e-15);
    EXPECT_NEAR(e.bcU[0], 1.4, 1e-15);
    EXPECT_NEAR(e.bcU[1], 1.4, 1e-15);
    EXPECT_EQ(e.eye.EyeLeftIndex, 0);
    EXPECT_EQ(e.eye.EyeRightIndex, 0);
    EXPECT_EQ(e.eye.EyeCenterIndex, 0);
    EXPECT_EQ(e.eye.WcRiseIndex, -1);
    EXPECT_EQ(e.eye.WcFallIndex, -1);
    EXPECT_NEAR(e.eye.WcPeak, -0.4, 1e-15);
    EXPECT_NEAR(e.eye.WcToBcRatio, -0.4 / 1.4, 1e-14);

    // The same with several samples per bit: closed at every phase, all
    // three edges at the best phase, negative peak and ratio.
    Eye w({0.2, 0.4, 0.6, 0.8, 1.0, 1.0, 1.0, 1.0, 0.9, 0.9, 0.9, 0.9, 0.8, 0.8, 0.8, 0.8}, 4, 0.5);
    ASSERT_TRUE(w.initOk);
    for (double v : w.wcU)
        EXPECT_LT(v, 0.0);
    std::size_t best = 0;
    for (std::size_t k = 1; k < w.wcL.size(); ++k)
        if (w.wcL[k] < w.wcL[best])
            best = k;
    EXPECT_EQ(w.eye.EyeLeftIndex, static_cast<long long>(best));
    EXPECT_EQ(w.eye.EyeRightIndex, static_cast<long long>(best));
    EXPECT_EQ(w.eye.EyeCenterIndex, static_cast<long long>(best));
    EXPECT_LT(w.eye.WcPeak, 0.0);
    EXPECT_LT(w.eye.WcToBcRatio, 0.0);
}

TEST(ImpulseToWorstCaseEyeTest, NormalizationDividesByBestCaseAtPeak)
{
    const std::vector<double> h = {0.1, 0.6, 1.0, 0.5, 0.2, -0.1, 0.05};
    Eye plain(h, 4, 0.5, 0);
    Eye norm(h, 4, 0.5, 1);
    ASSERT_TRUE(plain.initOk && norm.initOk);
    const double d = plain.eye.BcAtWcPeak;
    ASSERT_GT(d, 0.0);
    for (std::size_t k = 0; k < plain.wcU.size(); ++k) {
        EXPECT_EQ(norm.wcU[k], plain.wcU[k] / d);
        EXPECT_EQ(norm.wcL[k], plain.wcL[k] / d);
        EXPECT_EQ(norm.bcU[k], plain.bcU[k] / d);
        EXPECT_EQ(norm.bcL[k], plain.bcL[k] / d);
    }
    EXPECT_EQ(norm.eye.WcToBcRatio, plain.eye.WcToBcRatio);
}

TEST(ImpulseToWorstCaseEyeTest, BestCaseSkippedWithoutItsCurves)
{
    const std::vector<double> h = {0.1, 0.6, 1.0, 0.5, 0.2};
    Eye full(h, 4, 0.5);
    Eye worstOnly(h, 4, 0.5, 1, false);
    ASSERT_TRUE(worstOnly.initOk);
    EXPECT_EQ(worstOnly.wcU, full.wcU);
    EXPECT_TRUE(worstOnly.bcU.empty());
    EXPECT_EQ(worstOnly.eye.WcToBcRatio, 0.0);
    EXPECT_EQ(worstOnly.eye.WcPeak, 0.0);
    EXPECT_EQ(worstOnly.eye.BcAtWcPeak, 0.0);
}

TEST(ImpulseToWorstCaseEyeTest, AllZeroImpulseIsAClosedEyeWithoutNaN)
{
    for (int normalization : {0, 1}) {
        Eye e({0.0, 0.0, 0.0, 0.0}, 4, 0.5, normalization);
        ASSERT_TRUE(e.initOk);
        for (const auto* curve : {&e.wcU, &e.wcL, &e.bcU, &e.bcL}) {
            ASSERT_EQ(curve->size(), 8u);
            for (double v : *curve)
                EXPECT_EQ(v, 0.0);
        }
        EXPECT_EQ(e.eye.WcPeak, 0.0);
        EXPECT_EQ(e.eye.BcAtWcPeak, 0.0);
        EXPECT_EQ(e.eye.WcToBcRatio, 0.0);
        EXPECT_EQ(e.eye.Inverted, 0);
    }
}

TEST(ImpulseToWorstCaseEyeTest, SetupMessages)
{
    {
        Eye e({1.0}, 0, 0.5);
        EXPECT_FALSE(e.setupOk);
        EXPECT_EQ(e.msg.str(), "SamplesPerBit must be an integer >= 1.\n");
        // Initialize after the failed Setup does not divide by zero or crash.
        EXPECT_FALSE(e.eye.Initialize(e.msg));
    }
    {
        Eye e({1.0}, 4, 0.0);
        EXPECT_FALSE(e.setupOk);
        EXPECT_EQ(e.msg.str(), "LogicLevel must be > 0.\n");
    }
    for (int bad : {2, -1}) {
        Eye e({1.0}, 4, 0.5, bad);
        EXPECT_FALSE(e.setupOk);
        EXPECT_EQ(e.msg.str(), "Normalization must be either 0 or 1.\n");
    }
    {
        Eye e({1.0}, -3, -0.5, 5);
        EXPECT_FALSE(e.setupOk);
        EXPECT_EQ(e.msg.str(), "SamplesPerBit must be an integer >= 1.\nLogicLevel must be > 0.\n"
                               "Normalization must be either 0 or 1.\n");
    }
}

TEST(ImpulseToWorstCaseEyeTest, EmptyImpulseFailsInInitialize)
{
    Eye e({}, 4, 0.5);
    EXPECT_TRUE(e.setupOk);
    EXPECT_FALSE(e.initOk);
    EXPECT_EQ(e.msg.str(), "There must be at least one Impulse array value.\n");
    EXPECT_TRUE(e.wcU.empty());

    ImpulseToWorstCaseEye noImpulse;
    std::vector<double> u, l;
    noImpulse.WcUpperEye = &u;
    noImpulse.WcLowerEye = &l;
    std::stringstream msg;
    EXPECT_TRUE(noImpulse.Setup(nullptr, msg));
    EXPECT_FALSE(noImpulse.Initialize(msg));
    EXPECT_EQ(msg.str(), "There must be at least one Impulse array value.\n");
}

TEST(ImpulseToWorstCaseEyeTest, DefaultsAndUseFile)
{
    ImpulseToWorstCaseEye eye;
    EXPECT_EQ(eye.SamplesPerBit, 32);
    EXPECT_EQ(eye.LogicLevel, 0.5);
    EXPECT_EQ(eye.Normalization, 0);
    EXPECT_EQ(eye.WcRiseIndex, -1);
    EXPECT_EQ(eye.WcFallIndex, -1);

    const std::string path = ::testing::TempDir() + "eye_use_file.txt";
    {
        std::ofstream log(path);
        std::vector<double> h = {1.0}, u, l;
        eye.Impulse = &h;
        eye.WcUpperEye = &u;
        eye.WcLowerEye = &l;
        std::stringstream msg;
        EXPECT_TRUE(eye.Setup(&log, msg));
        EXPECT_TRUE(eye.Setup(&log, msg));
        EXPECT_TRUE(eye.Initialize(msg));
        EXPECT_EQ(u.size(), 64u);
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "Veltramodels20200612::ImpulseToWorstCaseEye\n");
}

// The worst-case upper curve of this integer pulse reaches its maximum at two
// phases, with different best-case levels there (16 at the first, 12 at the
// second). The eye is measured at the first of equal peaks.
TEST(ImpulseToWorstCaseEyeTest, TiedWorstCasePeaksTakeTheFirst)
{
    Eye e({-3.0, 2.0, 1.0, 3.0, 6.0, 1.0}, 2, 1.0);
    ASSERT_TRUE(e.setupOk);
    ASSERT_TRUE(e.initOk) << e.msg.str();
    size_t first = 0, ties = 0;
    for (size_t k = 0; k < e.wcU.size(); ++k) {
        if (e.wcU[k] > e.wcU[first]) {
            first = k;
            ties = 0;
        } else if (k != first && e.wcU[k] == e.wcU[first]) {
            ++ties;
        }
    }
    ASSERT_EQ(ties, 1u) << "the pulse must give exactly two equal worst-case peaks";
    EXPECT_EQ(e.eye.WcPeak, e.wcU[first]);
    EXPECT_EQ(e.eye.BcAtWcPeak, 16.0);
    EXPECT_EQ(e.bcU[first], 16.0);
    EXPECT_EQ(e.eye.WcToBcRatio, e.wcU[first] / 16.0);
}
