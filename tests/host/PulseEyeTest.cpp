#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tools/ami-host/PulseEye.h"

using namespace amihost;

TEST(PulseEye, PulseIsTheImpulseIntegratedOverOneBit)
{
    PulseEye pe;
    pe.SamplesPerBit = 7;
    pe.SampleInterval = 0.5;
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> h(1000);
    for (double& v : h)
        v = u(rng);
    const std::vector<double> p = pe.pulse(h);
    ASSERT_EQ(p.size(), h.size() + 6);
    for (size_t n = 0; n < p.size(); ++n) {
        double s = 0.0;
        for (size_t m = 0; m < h.size(); ++m)
            if (m <= n && n - m < 7)
                s += h[m];
        ASSERT_NEAR(p[n], 0.5 * s, 1e-12) << n;
    }
    EXPECT_TRUE(pe.pulse({}).empty());
}

TEST(PulseEye, IdealChannelHasAFullEye)
{
    PulseEye pe;
    pe.SamplesPerBit = 8;
    pe.SampleInterval = 1e-12;
    std::vector<double> h(64, 0.0);
    h[0] = 1.0 / pe.SampleInterval;  // an ideal wire, in V/s
    const std::vector<double> p = pe.pulse(h);
    for (size_t n = 0; n < p.size(); ++n)
        EXPECT_NEAR(p[n], n < 8 ? 1.0 : 0.0, 1e-12);
    const EyeMetrics m = pe.analyse(p);
    ASSERT_TRUE(m.Valid);
    EXPECT_NEAR(m.EyeHeight, 1.0, 1e-12);
    EXPECT_NEAR(m.MainCursor, 1.0, 1e-12);
    EXPECT_NEAR(m.EyeWidthUI, 1.0, 1e-12);
    EXPECT_FALSE(m.Inverted);
}

TEST(PulseEye, PeakDistortionOfAHandWorkedPulse)
{
    // Heights main - sum|ISI| at samples 0..5: -0.2, 0.1, 0.8, 0.45, 0.1, -0.3.
    // Best at the peak (sample 2); edges at -1 - 0.1/0.3 and 2 + 0.1/0.4
    // samples from it: width (2.25 + 4/3) / 4 UI.
    const std::vector<double> p = {0, 0.5, 1.0, 0.5, 0.15, 0.3, 0.2, 0.05, 0.05, 0.1, 0, 0};
    PulseEye pe;
    pe.SamplesPerBit = 4;
    pe.SampleInterval = 1.0;
    EXPECT_NEAR(pe.heightAt(p, 0), -0.2, 1e-15);
    EXPECT_NEAR(pe.heightAt(p, 1), 0.1, 1e-15);
    EXPECT_NEAR(pe.heightAt(p, 5), -0.3, 1e-15);
    const EyeMetrics m = pe.analyse(p);
    ASSERT_TRUE(m.Valid);
    EXPECT_EQ(m.PeakIndex, 2);
    EXPECT_EQ(m.BestIndex, 2);
    EXPECT_NEAR(m.EyeHeight, 0.8, 1e-15);
    EXPECT_NEAR(m.EyeWidthUI, (2.25 + 4.0 / 3.0) / 4.0, 1e-12);
    EXPECT_EQ(m.BestPhaseUI, 0.0);

    // The same pulse upside down: the same eye, flagged as inverted.
    std::vector<double> q = p;
    for (double& v : q)
        v = -v;
    const EyeMetrics n = pe.analyse(q);
    EXPECT_TRUE(n.Inverted);
    EXPECT_EQ(n.PulsePeak, -1.0);
    EXPECT_NEAR(n.EyeHeight, 0.8, 1e-15);
    EXPECT_NEAR(n.EyeWidthUI, m.EyeWidthUI, 1e-15);

    // No signal, no eye.
    EXPECT_FALSE(pe.analyse(std::vector<double>(12, 0.0)).Valid);
    EXPECT_FALSE(pe.analyse({}).Valid);
}

TEST(PulseEye, BestPhaseMayLieOffThePeak)
{
    PulseEye pe;
    pe.SamplesPerBit = 2;
    pe.SampleInterval = 1.0;
    // A closed eye: heights -0.2 at the peak (0.4 - 0.3 - 0.2 - 0.1) and
    // -0.1 half a bit later (0.35 - 0.25 - 0.15 - 0.05), -0.8 half a bit before.
    const EyeMetrics m = pe.analyse({0.4, 0.35, 0.3, 0.25, 0.2, 0.15, 0.1, 0.05});
    ASSERT_TRUE(m.Valid);
    EXPECT_EQ(m.PeakIndex, 0);
    EXPECT_EQ(m.BestIndex, 1);
    EXPECT_NEAR(m.EyeHeight, -0.1, 1e-15);
    EXPECT_EQ(m.EyeWidthUI, 0.0);
    EXPECT_EQ(m.BestPhaseUI, 0.5);

    // An open eye whose best sample follows the peak: 1.0 - 0.7 = 0.3 at the
    // peak, 0.95 one sample later.
    const EyeMetrics n = pe.analyse({0, 1.0, 0.95, 0.7, 0, 0, 0, 0});
    EXPECT_EQ(n.PeakIndex, 1);
    EXPECT_EQ(n.BestIndex, 2);
    EXPECT_NEAR(n.EyeHeight, 0.95, 1e-15);
    EXPECT_NEAR(n.MainCursor, 0.95, 1e-15);
    EXPECT_GT(n.EyeWidthUI, 0.5);
}

TEST(PulseEye, ContoursAndCrosstalk)
{
    const std::vector<double> p = {1.0, 0, 0, 0, -0.25, 0, 0, 0, 0.1};
    PulseEye pe;
    pe.SamplesPerBit = 4;
    pe.SampleInterval = 1.0;
    const EyeMetrics m = pe.analyse(p);
    EXPECT_NEAR(m.EyeHeight, 0.65, 1e-15);
    const std::vector<EyeContourRow> rows = pe.contours(p, m);
    ASSERT_EQ(rows.size(), 9u);
    const EyeContourRow& c = rows[4];  // the best phase
    EXPECT_EQ(c.PhaseUI, 0.0);
    EXPECT_NEAR(c.WorstOne, 0.75, 1e-15);
    EXPECT_NEAR(c.WorstZero, 0.1, 1e-15);
    EXPECT_NEAR(c.EnvelopeTop, 1.1, 1e-15);
    EXPECT_NEAR(c.EnvelopeBottom, -0.25, 1e-15);
    EXPECT_NEAR(c.WorstOne - c.WorstZero, m.EyeHeight, 1e-15);
    EXPECT_EQ(rows.front().PhaseUI, -1.0);
    EXPECT_EQ(rows.back().PhaseUI, 1.0);
    // One bit later the main cursor is -0.25: that eye is shut.
    EXPECT_LT(rows.back().WorstOne, rows.back().WorstZero);

    // Crosstalk: the worst phase's sum of |cursors|.
    EXPECT_NEAR(pe.worstCrosstalk({0.1, -0.2, 0, 0, 0.3, 0, 0, 0.05}), 0.4, 1e-15);
    EXPECT_EQ(pe.worstCrosstalk({}), 0.0);
}
