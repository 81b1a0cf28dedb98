#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "framework/Base_SerDesTxVPeak.h"

using namespace Veltramodels20200612;

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Design {
    Base_SerDesTxVPeak d;
    std::stringstream msg;
    bool ok = false;
    Design(double a, double width = 0.3, int mode = 0, int sps = 32, double rate = 1e10)
    {
        d.SymbolRate = rate;
        d.SamplesPerSymbol = sps;
        d.vWidth = width;
        d.vWidthMode = mode;
        d.vPeak = a;
        ok = d.Setup(nullptr, msg);
    }
};

// |H(j 2 pi f)| of one zero and two poles (Hz), unity gain at 0 Hz.
double magnitude(const Base_SerDesTxVPeak& d, double f)
{
    const std::complex<double> j(0.0, 1.0);
    return std::abs((1.0 + j * f / d.Z) / ((1.0 + j * f / d.P1) * (1.0 + j * f / d.P2)));
}

// Unit step through the designed filter, n samples.
std::vector<double> stepResponse(Base_SerDesTxVPeak& d, size_t n)
{
    d.Initialize();
    std::stringstream m;
    std::vector<double> y(n);
    for (size_t i = 0; i < n; ++i) {
        d.Input = 1.0;
        d.Run(m);
        y[i] = d.Output;
    }
    return y;
}

TEST(TxVPeak, HandDesign)
{
    // 10 GBd, 0.3 UI: tau = 30 ps, P1 = 1/(2 pi 30 ps) = 5.3051647697e9 Hz.
    Design a(0.5);
    ASSERT_TRUE(a.ok) << a.msg.str();
    EXPECT_EQ(a.msg.str(), "");
    EXPECT_NEAR(a.d.P1, 5.3051647697298e9, 1.0);
    EXPECT_NEAR(a.d.Z, 5.3051647697298e9 / 1.5, 1.0);
    EXPECT_NEAR(a.d.P2, 5.3051647697298e10, 10.0);  // below 320e9 / 4
    EXPECT_EQ(a.d.Container.PoleVector, (std::vector<double>{a.d.P1, a.d.P2}));
    EXPECT_EQ(a.d.Container.ZeroVector, (std::vector<double>{a.d.Z}));

    // Mode 1: the width is the half-amplitude decay time, tau = 30 ps / ln 2.
    Design h(0.5, 0.3, 1);
    ASSERT_TRUE(h.ok) << h.msg.str();
    EXPECT_NEAR(h.d.P1, 5.3051647697298e9 * std::log(2.0), 1.0);
    EXPECT_NEAR(h.d.Z, h.d.P1 / 1.5, 1.0);
    EXPECT_NEAR(h.d.P2, 10.0 * h.d.P1, 10.0);

    // 8 samples per symbol: the edge pole is held at a quarter of 80 GS/s.
    Design q(0.2, 0.2, 0, 8);
    ASSERT_TRUE(q.ok) << q.msg.str();
    EXPECT_NEAR(q.d.P1, 1.0 / (2.0 * kPi * 20e-12), 1.0);
    EXPECT_EQ(q.d.P2, 20e9);
    EXPECT_GT(q.d.P2, q.d.P1);
}

TEST(TxVPeak, ZeroAmplitudeCancelsAndIsFlat)
{
    for (int mode : {0, 1})
        for (double width : {0.02, 0.1, 0.3, 0.4}) {
            Design d(0.0, width, mode, 64);
            ASSERT_TRUE(d.ok) << d.msg.str();
            EXPECT_EQ(d.d.Z, d.d.P1) << width;
            // Only the edge pole is left: within 0.15 dB up to half the symbol rate.
            for (double f : {0.0, 1e9, 2.5e9, 5e9}) {
                EXPECT_LE(magnitude(d.d, f), 1.0 + 1e-15);
                EXPECT_GT(magnitude(d.d, f), std::pow(10.0, -0.15 / 20.0))
                    << mode << " " << width << " " << f;
            }
            // The filter cancels the pair (marked -1) and its step never overshoots.
            EXPECT_EQ(d.d.Container.ZeroVector[0], -1.0);
            EXPECT_EQ(d.d.Container.PoleVector[0], -1.0);
            std::vector<double> y = stepResponse(d.d, 400);
            for (double v : y)
                EXPECT_LE(v, 1.0 + 1e-12);
            EXPECT_NEAR(y.back(), 1.0, 1e-12);
        }
}

TEST(TxVPeak, LargerAmplitudeGivesMoreHighFrequencyBoost)
{
    for (int mode : {0, 1}) {
        for (double width : {0.05, 0.2, 0.4}) {
            double previous = 0.0;
            for (int k = 0; k <= 13; ++k) {
                const double a = 0.05 * k;
                Design d(a, width, mode);
                ASSERT_TRUE(d.ok) << d.msg.str();
                const double boost = magnitude(d.d, 5e9) / magnitude(d.d, 0.0);
                if (k > 0) {
                    EXPECT_GT(boost, previous) << mode << " " << width << " " << a;
                }
                previous = boost;
                // Over the flat design, the gain above the peaking pole
                // approaches 1 + a.
                Design flat(0.0, width, mode);
                const double f = 3.0 * d.d.P1;
                const double over = magnitude(d.d, f) / magnitude(flat.d, f);
                EXPECT_GE(over, 1.0 + 0.8 * a - 1e-12) << mode << " " << width << " " << a;
                EXPECT_LT(over, 1.0 + a + 1e-12);
            }
        }
    }
    // The gain at 0 Hz is 1 whatever the amplitude.
    Design d(0.65);
    EXPECT_DOUBLE_EQ(magnitude(d.d, 0.0), 1.0);
}

// The held pulse of height a over vWidth UI, 1 + a (1 - exp(-j 2 pi f w UI)),
// and the design agree within 10 % up to half the symbol rate.
TEST(TxVPeak, TracksTheHeldPulseInTheDataBand)
{
    const double ui = 1e-10;
    for (double width : {0.02, 0.1, 0.2, 0.3, 0.4}) {
        for (double a : {0.1, 0.3, 0.65}) {
            Design d(a, width, 0, 64);
            ASSERT_TRUE(d.ok) << d.msg.str();
            for (int k = 1; k <= 50; ++k) {
                const double f = 5e9 * k / 50.0;
                const double pulse = std::abs(1.0 + a * (1.0 - std::polar(1.0, -2.0 * kPi * f * width * ui)));
                EXPECT_NEAR(magnitude(d.d, f) / pulse, 1.0, 0.1) << width << " " << a << " " << f;
            }
        }
    }
}

// In the time domain: the overshoot above the settled level carries the
// charge a x vWidth x UI (mode 0), and its peak stays below 1 + a.
TEST(TxVPeak, OvershootAreaAndPeak)
{
    const int sps = 32;
    const double fs = sps * 1e10;
    for (int mode : {0, 1}) {
        Design flat(0.0, 0.3, mode, sps);
        ASSERT_TRUE(flat.ok);
        std::vector<double> y0 = stepResponse(flat.d, 3000);
        double area0 = 0.0;
        for (double v : y0)
            area0 += (v - 1.0) / fs;
        for (double a : {0.1, 0.3, 0.65}) {
            Design d(a, 0.3, mode, sps);
            ASSERT_TRUE(d.ok);
            std::vector<double> y = stepResponse(d.d, 3000);
            EXPECT_NEAR(y.back(), 1.0, 1e-12);
            double area = 0.0, peak = 0.0;
            for (double v : y) {
                area += (v - 1.0) / fs;
                peak = std::max(peak, v);
            }
            const double width = mode == 0 ? 0.3e-10 : 0.3e-10 / std::log(2.0);
            // The edge pole's delay is common to all amplitudes.
            EXPECT_NEAR(area - area0, a * width, 5e-3 * a * width) << a << " " << mode;
            EXPECT_GT(peak, 1.0 + 0.5 * a);
            EXPECT_LT(peak, 1.0 + a);
        }
    }
}

TEST(TxVPeak, CheckMessages)
{
    Base_SerDesTxVPeak d;
    d.SymbolRate = 0.0;
    d.SamplesPerSymbol = 0;
    d.vWidthMode = -1;
    d.vPeak = 0.66;
    d.vWidth = 0.0;
    std::stringstream msg;
    EXPECT_FALSE(d.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "SymbolRate must be > 0.\n"
                         "SamplesPerSymbol must be > 0.\n"
                         "vWidthMode must be an integer in the range [0, 1].\n"
                         "vPeak must be a value in the range [0, 0.65].\n"
                         "vWidth must be a value in the range (0, 1].\n");
    EXPECT_EQ(d.P1, 0.0);
    EXPECT_EQ(d.Z, 0.0);
    EXPECT_EQ(d.P2, 0.0);

    for (double bad : {-0.01, std::nan(""), 1.5}) {
        Design w(0.2, bad);
        EXPECT_FALSE(w.ok);
        EXPECT_EQ(w.msg.str(), "vWidth must be a value in the range (0, 1].\n") << bad;
    }
    for (double bad : {-0.001, std::nan(""), 0.6501}) {
        Design p(bad);
        EXPECT_FALSE(p.ok);
        EXPECT_EQ(p.msg.str(), "vPeak must be a value in the range [0, 0.65].\n") << bad;
    }
    Design edge(0.65, 1.0);
    EXPECT_TRUE(edge.ok) << edge.msg.str();

    // Less than one sample wide: 0.2 UI at 4 samples per UI.
    Design narrow(0.3, 0.2, 0, 4);
    EXPECT_FALSE(narrow.ok);
    EXPECT_EQ(narrow.msg.str(), "vWidth must span at least one sample (vWidth x SamplesPerSymbol >= 1).\n");
    Design one(0.3, 0.25, 0, 4);
    ASSERT_TRUE(one.ok) << one.msg.str();
    EXPECT_LT(one.d.P1, 1e10 * 4 / (2.0 * kPi) * 1.0000001);
    EXPECT_GT(one.d.P2, one.d.P1);

    Design inf(0.3, 0.3, 0, 32, INFINITY);
    EXPECT_FALSE(inf.ok);
    EXPECT_EQ(inf.msg.str(), "SymbolRate must be > 0.\n");
}

// One designer reused across amplitudes, as the front end does, matches
// fresh designers; a failed design leaves nothing behind.
TEST(TxVPeak, ReuseWithFinalize)
{
    Base_SerDesTxVPeak d;
    d.SymbolRate = 1e10;
    d.SamplesPerSymbol = 32;
    d.vWidth = 0.25;
    for (double a : {0.0, 0.4, 0.9, 0.2}) {
        d.Finalize();
        EXPECT_EQ(d.P1, 0.0);
        EXPECT_TRUE(d.Container.PoleVector.empty());
        d.vPeak = a;
        std::stringstream msg;
        const bool ok = d.Setup(nullptr, msg);
        Design fresh(a, 0.25);
        EXPECT_EQ(ok, fresh.ok) << a;
        EXPECT_EQ(d.Z, fresh.d.Z);
        EXPECT_EQ(d.P1, fresh.d.P1);
        EXPECT_EQ(d.P2, fresh.d.P2);
        if (!ok) {
            EXPECT_TRUE(d.Container.PoleVector.empty());
            continue;
        }
        std::vector<double> y = stepResponse(d, 200);
        std::vector<double> z = stepResponse(fresh.d, 200);
        EXPECT_EQ(y, z) << a;
    }
}

TEST(TxVPeak, UseFileLineOnce)
{
    const std::string path = ::testing::TempDir() + "/txvpeak_use.txt";
    {
        std::ofstream use(path);
        Base_SerDesTxVPeak d;
        d.vPeak = 0.2;
        std::stringstream msg;
        ASSERT_TRUE(d.Setup(&use, msg));
        d.Finalize();
        ASSERT_TRUE(d.Setup(&use, msg));
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(path.c_str());
    EXPECT_EQ(text.str(), "Veltramodels20200612::Base_SerDesTxVPeak\nVeltramodels20200612::SPolesZeros\n");
}

}  // namespace
