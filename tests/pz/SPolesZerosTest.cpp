#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <sstream>
#include <vector>

#include "pz/SPolesZeros.h"

using namespace Veltramodels20200612;

namespace {

const double kPi = 3.141592653589793;

// Frequency response of the cascade of first-order sections at f (Hz).
std::complex<double> sectionResponse(const SPolesZeros& f, double freq)
{
    std::complex<double> zi = std::polar(1.0, -2.0 * kPi * freq / f.SampleRate);
    std::complex<double> h(1.0, 0.0);
    for (size_t i = 0; i < f.A1.size(); ++i)
        h *= (f.B0[i] + f.B1[i] * zi) / (1.0 + f.A1[i] * zi);
    return h;
}

TEST(SPolesZeros, OneGHzPoleAtTenGSps)
{
    std::vector<double> poles{1e9}, zeros;
    SPolesZeros f;
    f.SampleRate = 10e9;
    f.Gain = 2.5;
    f.RealPoles = &poles;
    f.RealZeros = &zeros;
    f.FreqUnit = 1;
    f.EnablePreWarping = 0;
    std::stringstream msg;
    ASSERT_TRUE(f.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "");
    f.Initialize();
    ASSERT_EQ(f.A1.size(), 1u);
    EXPECT_NEAR(f.B0[0], 0.239057, 5e-7);
    EXPECT_NEAR(f.B1[0], 0.239057, 5e-7);
    EXPECT_NEAR(f.A1[0], -0.521886, 5e-7);
    const double pT = 0.6283185307179586;
    EXPECT_DOUBLE_EQ(f.B0[0], 1.0 / (2.0 / pT + 1.0));
    EXPECT_DOUBLE_EQ(f.A1[0], (1.0 - 2.0 / pT) / (2.0 / pT + 1.0));

    // Against a direct-form-I recursion of the same coefficients, on an
    // irregular input; then a long run of ones settles to Gain.
    double xPrev = 0.0, yPrev = 0.0;
    for (int n = 0; n < 300; ++n) {
        double x = std::sin(0.37 * n) + (n % 7 == 0 ? 1.0 : 0.0);
        double y = f.B0[0] * x + f.B1[0] * xPrev - f.A1[0] * yPrev;
        xPrev = x;
        yPrev = y;
        f.Input = x;
        f.Run(msg);
        ASSERT_NEAR(f.Output, 2.5 * y, 1e-12) << n;
    }
    for (int n = 0; n < 200; ++n) {
        f.Input = 1.0;
        f.Run(msg);
    }
    EXPECT_NEAR(f.Output, 2.5, 1e-12);
}

TEST(SPolesZeros, PreWarpingPutsTheCornerAtThePoleFrequency)
{
    // With pre-warping, the digital response at each pole frequency of a
    // single pole is exactly 3 dB down, however close to Nyquist it lies.
    for (double fp : {1e9, 2e9, 4e9}) {
        std::vector<double> poles{fp}, zeros;
        SPolesZeros f;
        f.SampleRate = 10e9;
        f.RealPoles = &poles;
        f.RealZeros = &zeros;
        std::stringstream msg;
        ASSERT_TRUE(f.Setup(nullptr, msg));
        f.Initialize();
        EXPECT_NEAR(std::abs(sectionResponse(f, fp)), std::sqrt(0.5), 1e-12) << fp;
        EXPECT_NEAR(std::abs(sectionResponse(f, 0.0)), 1.0, 1e-14);
    }
}

TEST(SPolesZeros, PairedSectionGains)
{
    // (p/z)(s+z)/(s+p): 1 at 0 Hz, p/z at Nyquist (the image of s = infinity),
    // with p and z pre-warped.
    std::vector<double> poles{3e9, 1e9}, zeros{0.5e9};
    SPolesZeros f;
    f.SampleRate = 20e9;
    f.RealPoles = &poles;
    f.RealZeros = &zeros;
    std::stringstream msg;
    ASSERT_TRUE(f.Setup(nullptr, msg));
    f.Initialize();
    ASSERT_EQ(f.A1.size(), 2u);
    const double T = 1.0 / 20e9;
    auto warp = [&](double hz) { return (2.0 / T) * std::tan(2.0 * kPi * hz * T / 2.0); };
    double a1 = f.A1[0], b0 = f.B0[0], b1 = f.B1[0];
    EXPECT_NEAR((b0 + b1) / (1.0 + a1), 1.0, 1e-12);
    EXPECT_NEAR((b0 - b1) / (1.0 - a1), warp(3e9) / warp(0.5e9), 1e-9);
    EXPECT_NEAR(f.DCFactor, (warp(3e9) / warp(0.5e9)) * warp(1e9), 1e-6 * f.DCFactor);
}

TEST(SPolesZeros, EqualPoleAndZeroCancel)
{
    std::vector<double> poles{2e9}, zeros{2e9};
    SPolesZeros f;
    f.Gain = 3.0;
    f.RealPoles = &poles;
    f.RealZeros = &zeros;
    std::stringstream msg;
    ASSERT_TRUE(f.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "");
    EXPECT_EQ(poles[0], -1.0);
    EXPECT_EQ(zeros[0], -1.0);
    f.Initialize();
    for (double x : {1.0, -0.5, 0.25, 7.0}) {
        f.Input = x;
        f.Run(msg);
        EXPECT_EQ(f.Output, 3.0 * x);
    }
}

TEST(SPolesZeros, PoleAtZeroIsAnIntegrator)
{
    std::vector<double> poles{0.0}, zeros;
    SPolesZeros f;
    f.SampleRate = 1e10;
    f.Gain = 5.0;
    f.RealPoles = &poles;
    f.RealZeros = &zeros;
    std::stringstream msg;
    ASSERT_TRUE(f.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "Since there is one or more pole or zero at 0 Hz, the Gain is uncalibrated.\n");
    EXPECT_EQ(f.Gain, 1.0);
    f.Initialize();
    double prev = 0.0;
    for (int n = 0; n < 50; ++n) {
        f.Input = 1.0;
        f.Run(msg);
        if (n == 0)
            EXPECT_NEAR(f.Output, 0.5e-10, 1e-24);
        else
            EXPECT_NEAR(f.Output - prev, 1e-10, 1e-22);
        prev = f.Output;
    }
}

TEST(SPolesZeros, ZeroAtZeroIsAHighPass)
{
    // s/(s + p): a step decays towards 0 with the pole's time constant.
    std::vector<double> poles{1e9}, zeros{0.0};
    SPolesZeros f;
    f.SampleRate = 1e10;
    f.Gain = 4.0;
    f.RealPoles = &poles;
    f.RealZeros = &zeros;
    std::stringstream msg;
    ASSERT_TRUE(f.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "Since there is one or more pole or zero at 0 Hz, the Gain is uncalibrated.\n");
    f.Initialize();
    const double T = 1e-10, pw = (2.0 / T) * std::tan(2.0 * kPi * 1e9 * T / 2.0), d = pw * T / 2.0 + 1.0;
    EXPECT_DOUBLE_EQ(f.B0[0], 1.0 / d);
    EXPECT_DOUBLE_EQ(f.B1[0], -1.0 / d);
    f.Input = 1.0;
    f.Run(msg);
    EXPECT_NEAR(f.Output, 1.0 / d, 1e-15);
    for (int n = 0; n < 300; ++n)
        f.Run(msg);
    EXPECT_NEAR(f.Output, 0.0, 1e-12);
}

TEST(SPolesZeros, UnpairedZeroMergesWithIntegrator)
{
    // Pole at 0, zero at 1 GHz: (1 + s/z)/s. A constant input 1 gives
    // (n + 1/2) T + 1/z (pre-warped z).
    std::vector<double> poles{0.0}, zeros{1e9};
    SPolesZeros f;
    f.SampleRate = 1e10;
    f.RealPoles = &poles;
    f.RealZeros = &zeros;
    std::stringstream msg;
    ASSERT_TRUE(f.Setup(nullptr, msg)) << msg.str();
    f.Initialize();
    const double T = 1e-10;
    const double zw = (2.0 / T) * std::tan(2.0 * kPi * 1e9 * T / 2.0);
    for (int n = 0; n < 20; ++n) {
        f.Input = 1.0;
        f.Run(msg);
        EXPECT_NEAR(f.Output, (n + 0.5) * T + 1.0 / zw, 1e-20) << n;
    }
}

TEST(SPolesZeros, OutOfRangeRootsAreDropped)
{
    std::vector<double> poles{1e9, 6e9}, zeros;  // 6e9 = 0.6 x SampleRate
    SPolesZeros f;
    f.SampleRate = 10e9;
    f.RealPoles = &poles;
    f.RealZeros = &zeros;
    std::stringstream msg;
    ASSERT_TRUE(f.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(),
              "Poles and Zeros that are less than 0 Hz or greater the SampleRate/2 Hz are ignored.\n");
    EXPECT_EQ(f.NumKeptPoles, 1);
    EXPECT_EQ(f.KeptPoles[0], 1e9);
}

TEST(SPolesZeros, RadiansPerSecondUseTheirOwnBandEdge)
{
    // 2 pi x 1 GHz in rad/s at 10 GS/s is in band (the edge is pi x 1e10
    // rad/s) and gives the same filter as 1 GHz in Hz.
    std::vector<double> pr{2.0 * kPi * 1e9}, ph{1e9}, none1, none2;
    SPolesZeros a, b;
    a.SampleRate = b.SampleRate = 10e9;
    a.FreqUnit = 0;
    a.RealPoles = &pr;
    a.RealZeros = &none1;
    b.RealPoles = &ph;
    b.RealZeros = &none2;
    std::stringstream msg;
    ASSERT_TRUE(a.Setup(nullptr, msg));
    ASSERT_TRUE(b.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "");
    a.Initialize();
    b.Initialize();
    EXPECT_NEAR(a.A1[0], b.A1[0], 1e-15);
    EXPECT_NEAR(a.B0[0], b.B0[0], 1e-15);
}

TEST(SPolesZeros, RepeatedInitializeDoesNotRescale)
{
    std::vector<double> poles{1e9}, zeros;
    SPolesZeros f;
    f.RealPoles = &poles;
    f.RealZeros = &zeros;
    std::stringstream msg;
    ASSERT_TRUE(f.Setup(nullptr, msg));
    f.Initialize();
    double a1 = f.A1[0];
    f.Initialize();
    EXPECT_EQ(f.A1[0], a1);
}

TEST(SPolesZeros, CheckMessages)
{
    {
        std::vector<double> poles{1e9}, zeros{2e9, 3e9};
        SPolesZeros f;
        f.SampleRate = 0.0;
        f.Gain = 0.0;
        f.FreqUnit = 2;
        f.EnablePreWarping = 1;
        f.RealPoles = &poles;
        f.RealZeros = &zeros;
        std::stringstream msg;
        EXPECT_FALSE(f.Setup(nullptr, msg));
        // With SampleRate 0 every root lies outside the band.
        EXPECT_EQ(msg.str(),
                  "SampleRate must be > 0.\n"
                  "Poles and Zeros that are less than 0 Hz or greater the SampleRate/2 Hz are ignored.\n"
                  "Gain at 0 Hz must be non 0.\n"
                  "FreqUnit must be an integer in the range [0, 1].\n");
    }
    {
        std::vector<double> poles{1e9}, zeros{2e9, 3e9};
        SPolesZeros f;
        f.EnablePreWarping = -1;
        f.RealPoles = &poles;
        f.RealZeros = &zeros;
        std::stringstream msg;
        EXPECT_FALSE(f.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(),
                  "Number of RealPoles < SampleRate/2 must be >= Number of RealZeros < SampleRate/2.\n"
                  "EnablePreWarping must be an integer in the range [0, 1].\n");
    }
}

TEST(SPolesZeros, DecayedStateFlushesToZero)
{
    std::vector<double> poles{1e9, 2e9}, zeros{1.5e9};
    SPolesZeros f;
    f.SampleRate = 10e9;
    f.RealPoles = &poles;
    f.RealZeros = &zeros;
    std::stringstream msg;
    ASSERT_TRUE(f.Setup(nullptr, msg));
    f.Initialize();
    int subnormals = 0;
    for (int n = 0; n < 5000; ++n) {
        f.Input = n == 0 ? 1.0 : 0.0;
        f.Run(msg);
        if (std::fpclassify(f.Output) == FP_SUBNORMAL)
            ++subnormals;
        for (double w : f.W)
            if (std::fpclassify(w) == FP_SUBNORMAL)
                ++subnormals;
    }
    // Without the guard each state would step through some fifty subnormal
    // values on its way to 0; with it only an occasional cancellation in a
    // section's output lands there.
    EXPECT_LT(subnormals, 10);
    EXPECT_EQ(f.Output, 0.0);
}

TEST(SPolesZeros, UseFileLineOnce)
{
    std::string name = ::testing::TempDir() + "/spz_use.txt";
    std::ofstream log(name);
    std::vector<double> poles{1e9}, zeros;
    SPolesZeros f;
    f.RealPoles = &poles;
    f.RealZeros = &zeros;
    std::stringstream msg;
    f.Setup(&log, msg);
    f.Setup(&log, msg);
    log.close();
    std::ifstream in(name);
    std::stringstream all;
    all << in.rdbuf();
    EXPECT_EQ(all.str(), "Veltramodels20200612::SPolesZeros\n");
    std::remove(name.c_str());
}

}  // namespace
