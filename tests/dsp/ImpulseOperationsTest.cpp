#include "dsp/ImpulseOperations.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/ImpulseToWorstCaseEye.h"

using Veltramodels20200612::ImpulseOperations;
using Veltramodels20200612::ImpulseToWorstCaseEye;

namespace {

const double kPi = 3.14159265358979323846;

// Magnitude at frequency bin j of an N-point DFT, by direct summation.
double dftMagnitude(const std::vector<double>& h, double j, double n)
{
    std::complex<double> s = 0.0;
    for (std::size_t i = 0; i < h.size(); ++i)
        s += h[i] * std::polar(1.0, -2.0 * kPi * j * static_cast<double>(i) / n);
    return std::abs(s);
}

}  // namespace

TEST(ImpulseOperationsTest, EyeLevelsOfTheUnitImpulse)
{
    // Worst-case curve (-0.5, -0.5, 0.5, 0.5, 0.5, 0.5, -0.5, -0.5): last rising
    // crossing 2, last falling crossing 5, centre 3.
    ImpulseOperations ops;
    std::stringstream msg;
    double bc = -7.0, wc = -7.0;
    ASSERT_TRUE(ops.determineEyeBcWcUpperLevels({1.0}, 4, 0.5, &bc, &wc, msg));
    EXPECT_EQ(bc, 0.5);
    EXPECT_EQ(wc, 0.5);
    EXPECT_EQ(msg.str(), "");
}

TEST(ImpulseOperationsTest, OpenRegionWrappingAroundTheWindowEnd)
{
    // A negative unit impulse: the curves come back negated,
    // (0.5, 0.5, -0.5, -0.5, -0.5, -0.5, 0.5, 0.5). Rising 6, falling 1, D = 8:
    // centre floor(15 / 2) = 7.
    ImpulseOperations ops;
    std::stringstream msg;
    double bc = 0.0, wc = 0.0;
    ASSERT_TRUE(ops.determineEyeBcWcUpperLevels({-1.0}, 4, 0.5, &bc, &wc, msg));
    EXPECT_EQ(wc, 0.5);
    EXPECT_EQ(bc, -0.5);
}

TEST(ImpulseOperationsTest, NoCrossingTakesTheLargestLevelFromIndexOne)
{
    ImpulseOperations ops;
    std::stringstream msg;
    double bc = 0.0, wc = 0.0;
    // Closed at every phase: worst case (-0.4, -0.5), best case (1.4, 1.4).
    // Index 0 takes no part, so the level is that of index 1.
    ASSERT_TRUE(ops.determineEyeBcWcUpperLevels({1.0, 0.9, 0.9}, 1, 0.5, &bc, &wc, msg));
    EXPECT_NEAR(wc, -0.5, 1e-15);
    EXPECT_NEAR(bc, 1.4, 1e-15);
    // Its negation is positive at every phase: (0.4, 0.5), best case (-1.4, -1.4).
    ASSERT_TRUE(ops.determineEyeBcWcUpperLevels({-1.0, -0.9, -0.9}, 1, 0.5, &bc, &wc, msg));
    EXPECT_NEAR(wc, 0.5, 1e-15);
    EXPECT_NEAR(bc, -1.4, 1e-15);
}

TEST(ImpulseOperationsTest, LevelsAreThoseOfTheEyeAtTheCrossingMidpoint)
{
    // A realistic low-pass channel at 16 samples per bit: the levels must be
    // the eye curves' values at the midpoint of the last crossings.
    std::vector<double> h(80);
    for (std::size_t i = 0; i < h.size(); ++i)
        h[i] = std::exp(-static_cast<double>(i) / 12.0) * (1.0 - std::exp(-static_cast<double>(i) / 3.0));
    std::vector<double> wcU, wcL, bcU, bcL;
    ImpulseToWorstCaseEye eye;
    eye.Impulse = &h;
    eye.SamplesPerBit = 16;
    eye.LogicLevel = 0.4;
    eye.WcUpperEye = &wcU;
    eye.WcLowerEye = &wcL;
    eye.BcUpperEye = &bcU;
    eye.BcLowerEye = &bcL;
    std::stringstream msg;
    ASSERT_TRUE(eye.Setup(nullptr, msg));
    ASSERT_TRUE(eye.Initialize(msg));
    long long rising = -1, falling = -1;
    for (long long k = 1; k < 32; ++k) {
        if (wcU[k - 1] <= 0.0 && 0.0 < wcU[k])
            rising = k;
        if (wcU[k] <= 0.0 && 0.0 < wcU[k - 1])
            falling = k - 1;
    }
    ASSERT_GE(rising, 0);
    ASSERT_GT(falling, rising);
    const long long centre = (rising + falling) / 2;

    ImpulseOperations ops;
    double bc = 0.0, wc = 0.0;
    ASSERT_TRUE(ops.determineEyeBcWcUpperLevels(h, 16, 0.4, &bc, &wc, msg));
    EXPECT_EQ(wc, wcU[centre]);
    EXPECT_EQ(bc, bcU[centre]);
    EXPECT_GT(wc, 0.0);
    EXPECT_LT(wc, bc);
}

TEST(ImpulseOperationsTest, FailuresLeaveLevelsUnchanged)
{
    ImpulseOperations ops;
    double bc = 3.0, wc = 4.0;
    std::stringstream msg;
    EXPECT_FALSE(ops.determineEyeBcWcUpperLevels({1.0}, 0, 0.5, &bc, &wc, msg));
    EXPECT_EQ(msg.str(), "SamplesPerBit must be an integer >= 1.\n");
    std::stringstream msg2;
    EXPECT_FALSE(ops.determineEyeBcWcUpperLevels({1.0}, 4, -1.0, &bc, &wc, msg2));
    EXPECT_EQ(msg2.str(), "LogicLevel must be > 0.\n");
    std::stringstream msg3;
    EXPECT_FALSE(ops.determineEyeBcWcUpperLevels({}, 4, 0.5, &bc, &wc, msg3));
    EXPECT_EQ(msg3.str(), "There must be at least one Impulse array value.\n");
    EXPECT_EQ(bc, 3.0);
    EXPECT_EQ(wc, 4.0);
}

TEST(ImpulseOperationsTest, AllZeroImpulseIsAClosedEye)
{
    ImpulseOperations ops;
    double bc = 3.0, wc = 4.0;
    std::stringstream msg;
    ASSERT_TRUE(ops.determineEyeBcWcUpperLevels(std::vector<double>(1000, 0.0), 32, 0.5, &bc, &wc, msg));
    EXPECT_EQ(bc, 0.0);
    EXPECT_EQ(wc, 0.0);
    EXPECT_EQ(msg.str(), "");
}

TEST(ImpulseOperationsTest, NyquistGainOfAUnitImpulseIsOne)
{
    ImpulseOperations ops;
    std::vector<double> h(100, 0.0);
    h[0] = 1.0;
    EXPECT_EQ(ops.impulseGainAtNyquist(10e9, 32, h), 1.0);
    EXPECT_EQ(ops.impulseGainAtNyquist(28e9, 16, {1.0}), 1.0);
}

TEST(ImpulseOperationsTest, NyquistBinAndFFTLength)
{
    // With 3 samples per bit the Nyquist frequency falls between bins, so the
    // bin used shows the FFT length: 2048 points give bin 341, 4096 give 683,
    // 8192 give 1365. The two-sample impulse (1, 1) has |H(j)| = 2|cos(pi j / N)|.
    ImpulseOperations ops;
    const double bitRate = 12e9;
    const auto expected = [](double j, double n) { return 1.0 / (2.0 * std::fabs(std::cos(kPi * j / n))); };
    const auto pair = [](std::size_t length) {
        std::vector<double> h(length, 0.0);
        h[0] = 1.0;
        h[1] = 1.0;
        return h;
    };
    EXPECT_NEAR(ops.impulseGainAtNyquist(bitRate, 3, pair(100)), expected(341, 2048), 1e-13);
    EXPECT_NEAR(ops.impulseGainAtNyquist(bitRate, 3, pair(2048)), expected(341, 2048), 1e-13);
    EXPECT_NEAR(ops.impulseGainAtNyquist(bitRate, 3, pair(3000)), expected(683, 4096), 1e-13);
    EXPECT_NEAR(ops.impulseGainAtNyquist(bitRate, 3, pair(4096)), expected(683, 4096), 1e-13);
    EXPECT_NEAR(ops.impulseGainAtNyquist(bitRate, 3, pair(4097)), expected(1365, 8192), 1e-13);
}

TEST(ImpulseOperationsTest, NyquistGainMatchesDirectDFT)
{
    std::mt19937 gen(41);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    ImpulseOperations ops;
    for (std::size_t length : {5u, 300u, 2500u}) {
        std::vector<double> h(length);
        for (double& v : h)
            v = u(gen);
        // 8 samples per bit: the Nyquist frequency is exactly bin N / 16.
        const double n = length <= 2048 ? 2048.0 : 4096.0;
        const double ref = 1.0 / dftMagnitude(h, n / 16.0, n);
        EXPECT_NEAR(ops.impulseGainAtNyquist(5e9, 8, h), ref, 1e-11 * ref) << "length " << length;
    }
}

TEST(ImpulseOperationsTest, NyquistGainWithoutResponseIsInfinite)
{
    ImpulseOperations ops;
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(ops.impulseGainAtNyquist(10e9, 32, {}), inf);
    EXPECT_EQ(ops.impulseGainAtNyquist(10e9, 32, std::vector<double>(500, 0.0)), inf);
    // (1, 0, 1) at 2 samples per bit cancels at Nyquist: 1 + exp(-i pi) = 0.
    EXPECT_GT(ops.impulseGainAtNyquist(10e9, 2, {1.0, 0.0, 1.0}), 1e12);
    // No bin near a non-positive rate.
    EXPECT_EQ(ops.impulseGainAtNyquist(0.0, 32, {1.0}), inf);
    EXPECT_EQ(ops.impulseGainAtNyquist(10e9, 0, {1.0}), inf);
}

TEST(ImpulseOperationsTest, UseFileLines)
{
    const std::string path = ::testing::TempDir() + "impulse_operations_use_file.txt";
    {
        std::ofstream log(path);
        ImpulseOperations ops(&log);
        std::stringstream msg;
        double bc = 0.0, wc = 0.0;
        ops.determineEyeBcWcUpperLevels({1.0}, 4, 0.5, &bc, &wc, msg);
        ops.determineEyeBcWcUpperLevels({1.0}, 4, 0.5, &bc, &wc, msg);
        ops.impulseGainAtNyquist(10e9, 4, {1.0});
        ops.impulseGainAtNyquist(10e9, 4, {1.0});
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "Veltramodels20200612::ImpulseOperations::determineEyeBcWcUpperLevels\n"
                          "Veltramodels20200612::ImpulseOperations::impulseGainAtNyquist\n"
                          "Veltramodels20200612::FFT::ComplexFFT\n"
                          "Veltramodels20200612::FFT::ComplexFFT\n");
}
