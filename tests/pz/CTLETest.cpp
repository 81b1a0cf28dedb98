#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <sstream>
#include <vector>

#include "pz/CTLE.h"

using namespace Veltramodels20200612;

namespace {

const double kPi = 3.141592653589793;

struct Design {
    CTLE c;
    std::stringstream msg;
    bool ok;
    Design(double fpeak, double db, double bitRate = 6.25e9, int spb = 32)
    {
        c.FPeak = fpeak;
        c.dB_Peak = db;
        c.BitRate = bitRate;
        c.SamplesPerBit = spb;
        ok = c.Setup(nullptr, msg);
    }
};

std::string designLine(double fpeak, double db, double z, double p1, double p2)
{
    std::stringstream s;
    s << "For FPeak = " << fpeak << " and dB_Peak = " << db << ",  CTLE zero = " << z
      << ",  CTLE poles = " << p1 << ",  " << p2 << "\n";
    return s.str();
}

TEST(CTLE, TableShape)
{
    EXPECT_EQ(CTLE_PZ_List[0][0], 0.1);
    EXPECT_EQ(CTLE_PZ_List[11][0], 10.0);
    EXPECT_EQ(CTLE_PZ_List[11][1], 0.5);
    EXPECT_EQ(CTLE_PZ_List[11][2], 2.5775);
    EXPECT_EQ(CTLE_PZ_List[11][3], 3.985);
    EXPECT_EQ(CTLE_PZ_List[51][0], 50.0);
    EXPECT_EQ(CTLE_PZ_List[51][1], 0.0048);
    for (int i = 1; i < 52; ++i) {
        EXPECT_GT(CTLE_PZ_List[i][0], CTLE_PZ_List[i - 1][0]) << i;
        EXPECT_LE(CTLE_PZ_List[i][1], CTLE_PZ_List[i - 1][1]) << i;  // the zero falls with peaking
    }
    for (int i = 4; i < 52; ++i) {
        if (i != 5 && i != 7) {
            EXPECT_EQ(CTLE_PZ_List[i][0], i - 1.0) << i;
        }
    }
    EXPECT_EQ(CTLE_PZ_List[5][0], 4.02);
    EXPECT_EQ(CTLE_PZ_List[7][0], 6.02);
}

TEST(CTLE, TenDecibelRowExactly)
{
    Design d(3.125e9, 10.0);
    ASSERT_TRUE(d.ok) << d.msg.str();
    EXPECT_EQ(d.c.Z, 0.5);
    EXPECT_EQ(d.c.P1, 2.5775);
    EXPECT_EQ(d.c.P2, 3.985);
    ASSERT_EQ(d.c.ZeroVector.size(), 1u);
    ASSERT_EQ(d.c.PoleVector.size(), 2u);
    EXPECT_DOUBLE_EQ(d.c.ZeroVector[0], 0.5e9);
    EXPECT_DOUBLE_EQ(d.c.PoleVector[0], 2.5775e9);
    EXPECT_DOUBLE_EQ(d.c.PoleVector[1], 3.985e9);
    EXPECT_EQ(d.msg.str(), "For FPeak = 3.125e+09 and dB_Peak = 10,  CTLE zero = 5e+08,  CTLE poles = "
                           "2.5775e+09,  3.985e+09\n");
}

TEST(CTLE, DoubledPeakFrequencyDoublesEverything)
{
    Design d(6.25e9, 10.0, 12.5e9);
    ASSERT_TRUE(d.ok) << d.msg.str();
    EXPECT_DOUBLE_EQ(d.c.ZeroVector[0], 1e9);
    EXPECT_DOUBLE_EQ(d.c.PoleVector[0], 5.155e9);
    EXPECT_DOUBLE_EQ(d.c.PoleVector[1], 7.97e9);
    // At 6.25e9 bits per second the same peak is a warning, not a failure.
    Design w(6.25e9, 10.0, 6.25e9);
    ASSERT_TRUE(w.ok);
    EXPECT_DOUBLE_EQ(w.c.ZeroVector[0], 1e9);
}

TEST(CTLE, LogInterpolation)
{
    Design d(3.125e9, 10.5);
    ASSERT_TRUE(d.ok) << d.msg.str();
    const double f = (std::log(10.5) - std::log(10.0)) / (std::log(11.0) - std::log(10.0));
    EXPECT_NEAR(f, 0.5119092658265851, 1e-15);
    EXPECT_NEAR(d.c.Z, 0.470565, 1e-6);
    EXPECT_NEAR(d.c.P1, 2.567262, 1e-6);
    EXPECT_NEAR(d.c.P2, 3.978601, 1e-6);
    EXPECT_DOUBLE_EQ(d.c.Z, 0.5 + (0.4425 - 0.5) * f);
    // Between the first two rows as well.
    Design e(3.125e9, 0.3);
    ASSERT_TRUE(e.ok);
    const double g = (std::log(0.3) - std::log(0.1)) / (std::log(0.5) - std::log(0.1));
    EXPECT_DOUBLE_EQ(e.c.P2, 8.01 + (5.9 - 8.01) * g);
}

TEST(CTLE, TableEnds)
{
    for (double db : {0.099, 0.105}) {
        Design d(3.125e9, db);
        ASSERT_TRUE(d.ok) << db;
        EXPECT_EQ(d.c.Z, 5.235);
        EXPECT_EQ(d.c.P1, 8.01);
        EXPECT_EQ(d.c.P2, 8.01);
    }
    for (double db : {49.95, 50.005}) {
        Design d(3.125e9, db);
        ASSERT_TRUE(d.ok) << db;
        EXPECT_EQ(d.c.Z, 0.0048);
        EXPECT_EQ(d.c.P1, 2.46186);
        EXPECT_EQ(d.c.P2, 3.96);
    }
    for (double db : {50.02, 0.098, -3.0, std::nan("")}) {
        Design d(3.125e9, db);
        EXPECT_FALSE(d.ok) << db;
        EXPECT_EQ(d.msg.str(), "dB_Peak must be in the range [ 0.1,  50 ].\n") << db;
    }
}

TEST(CTLE, FPeakWarning)
{
    Design d(0.8 * 6.25e9, 10.0);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.msg.str(),
              "FPeak is outside the range [ 2.34375e+09,  4.6875e+09 ].\n"
              "The resultant CTLE response peak frequency might have some offset from the specified FPeak "
              "and dB_Peak.\n" +
                  designLine(5e9, 10, 0.8e9, 4.124e9, 6.376e9));
}

TEST(CTLE, SamplesPerBitAndDataType)
{
    {
        Design d(3.125e9, 10.0, 6.25e9, 4);
        EXPECT_FALSE(d.ok);
        EXPECT_EQ(d.msg.str(), "SamplesPerBit must be >= 8.\n");
    }
    {
        std::vector<double> poles{2e9, 4e9}, zeros{1e9};
        CTLE c;
        c.DataType = 0;
        c.SamplesPerBit = 4;
        c.PoleList = &poles;
        c.ZeroList = &zeros;
        std::stringstream msg;
        EXPECT_TRUE(c.Setup(nullptr, msg)) << msg.str();
        EXPECT_EQ(msg.str(), "");
        EXPECT_EQ(c.PoleVector, poles);
    }
    {
        CTLE c;
        c.DataType = 2;
        c.BitRate = 0.0;
        c.SamplesPerBit = 0;
        std::stringstream msg;
        EXPECT_FALSE(c.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "BitRate must be > 0.\nDataType must be an integer in the range [0, 1].\n");
    }
    {
        CTLE c;
        c.DataType = 0;
        c.SamplesPerBit = 0;
        std::stringstream msg;
        EXPECT_FALSE(c.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "SamplesPerBit must be > 0.\n");
    }
}

TEST(CTLE, NonPositivePeakFrequencyFailsRangeChecks)
{
    Design d(-3.125e9, 10.0);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.msg.str(),
              "FPeak is outside the range [ 2.34375e+09,  4.6875e+09 ].\n"
              "The resultant CTLE response peak frequency might have some offset from the specified FPeak "
              "and dB_Peak.\n"
              "Z1 is outside the valid range ( 0, 3.125e+09 ).\n"
              "P1 is outside the valid range ( 0, 3.125e+09 ).\n"
              "P2 is outside the valid range ( 0, 3.125e+09 ).\n");
}

TEST(CTLE, LowPeakingDesignWithPolesAboveHalfBitRateIsAccepted)
{
    // 0.1 dB at 6.25e9 bits per second puts both poles at 8.01 GHz, above
    // half the bit rate: the design is kept.
    Design d(3.125e9, 0.1);
    ASSERT_TRUE(d.ok) << d.msg.str();
    EXPECT_DOUBLE_EQ(d.c.PoleVector[0], 8.01e9);
}

// Impulse response of the running section, and its DFT at f.
std::vector<double> impulseOf(CTLE& c, int n)
{
    std::stringstream msg;
    c.Initialize();
    std::vector<double> h(n);
    for (int i = 0; i < n; ++i) {
        c.Input = i == 0 ? 1.0 : 0.0;
        c.Run(msg);
        h[i] = c.Output;
    }
    return h;
}

double magnitudeAt(const std::vector<double>& h, double f, double fs)
{
    std::complex<double> acc = 0.0;
    for (size_t i = 0; i < h.size(); ++i)
        acc += h[i] * std::polar(1.0, -2.0 * kPi * f * i / fs);
    return std::abs(acc);
}

TEST(CTLE, DesignPeaksWhereAsked)
{
    // The table rows peak at 3.125 GHz with the given peaking over 0 Hz.
    for (double db : {6.02, 10.0, 20.0}) {
        Design d(3.125e9, db, 6.25e9, 64);
        ASSERT_TRUE(d.ok);
        const double fs = 64 * 6.25e9;
        std::vector<double> h = impulseOf(d.c, 4000);
        double dc = magnitudeAt(h, 0.0, fs);
        double best = 0.0, bestF = 0.0;
        for (double f = 1.5e9; f <= 5e9; f += 0.1e9) {
            double m = magnitudeAt(h, f, fs);
            if (m > best) {
                best = m;
                bestF = f;
            }
        }
        EXPECT_NEAR(dc, 1.0, 1e-6) << db;
        EXPECT_NEAR(20.0 * std::log10(best / dc), db, 0.35) << db;
        EXPECT_NEAR(bestF, 3.125e9, 0.4e9) << db;
    }
}

TEST(CTLE, OutputDivisorAndCallerListsUntouched)
{
    std::vector<double> poles{2e9, 3e9}, zeros{2e9};
    CTLE c;
    c.DataType = 0;
    c.PoleList = &poles;
    c.ZeroList = &zeros;
    c.OutputDivisor = 4.0;
    std::stringstream msg;
    ASSERT_TRUE(c.Setup(nullptr, msg));
    EXPECT_EQ(poles[0], 2e9);  // the cancellation acts on the section's copies
    EXPECT_EQ(zeros[0], 2e9);
    c.Initialize();
    for (int i = 0; i < 5000; ++i) {
        c.Input = 1.0;
        c.Run(msg);
    }
    EXPECT_NEAR(c.Output, 0.25, 1e-12);
}

}  // namespace
