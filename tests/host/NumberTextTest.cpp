#include <gtest/gtest.h>

#include <cmath>

#include "tools/ami-host/HostFFT.h"
#include "tools/ami-host/NumberText.h"

using namespace amihost;

TEST(NumberText, ParsesWholeDecimalNumbersOnly)
{
    double v = -7.0;
    EXPECT_TRUE(NumberText::parseDouble("1.5e-12", v));
    EXPECT_EQ(v, 1.5e-12);
    EXPECT_TRUE(NumberText::parseDouble("+2", v));
    EXPECT_EQ(v, 2.0);
    EXPECT_TRUE(NumberText::parseDouble("-0.25", v));
    EXPECT_EQ(v, -0.25);
    v = 3.0;
    for (const char* bad :
         {"", "1x", " 1", "1 ", "abc", "nan", "inf", "1e400", "--1", "+-1", "+", "0x10", "1,5"})
        EXPECT_FALSE(NumberText::parseDouble(bad, v)) << bad;
    EXPECT_EQ(v, 3.0);  // untouched on failure

    long n = 9;
    EXPECT_TRUE(NumberText::parseLong("-15", n));
    EXPECT_EQ(n, -15);
    EXPECT_TRUE(NumberText::parseLong("+4", n));
    EXPECT_EQ(n, 4);
    for (const char* bad : {"", "1.0", "1e3", "99999999999999999999999", "x", "4 "})
        EXPECT_FALSE(NumberText::parseLong(bad, n)) << bad;
    EXPECT_EQ(n, 4);
}

TEST(NumberText, FormatReadsBackExactly)
{
    for (double x : {0.1, 1.0 / 3.0, -2.44140625e-12, 6.02214076e23, 5e-324, 1.7976931348623157e308, 0.0}) {
        double y = 1.0;
        ASSERT_TRUE(NumberText::parseDouble(NumberText::format(x), y)) << NumberText::format(x);
        EXPECT_EQ(x, y);
    }
    EXPECT_EQ(NumberText::format(0.1), "0.1");
    EXPECT_EQ(NumberText::fixed(-12.345, 1), "-12.3");
}

TEST(HostFFT, MatchesDirectTransformAndInverts)
{
    const size_t n = 64;
    std::vector<std::complex<double>> x(n);
    for (size_t i = 0; i < n; ++i)
        x[i] = std::complex<double>(std::sin(0.7 * i) + 0.1 * i, std::cos(1.3 * i * i));
    std::vector<std::complex<double>> X = x;
    ASSERT_TRUE(HostFFT::Transform(X, -1));
    const double pi = 3.14159265358979323846;
    for (size_t k = 0; k < n; ++k) {
        std::complex<double> d = 0.0;
        for (size_t i = 0; i < n; ++i)
            d += x[i] * std::polar(1.0, -2.0 * pi * double(i * k % n) / n);
        EXPECT_NEAR(std::abs(X[k] - d), 0.0, 1e-11) << k;
    }
    ASSERT_TRUE(HostFFT::Transform(X, +1));
    for (size_t i = 0; i < n; ++i)
        EXPECT_NEAR(std::abs(X[i] / double(n) - x[i]), 0.0, 1e-13);
}

TEST(HostFFT, RejectsSizesThatAreNotPowersOfTwo)
{
    std::vector<std::complex<double>> x(12, 1.0), empty;
    EXPECT_FALSE(HostFFT::Transform(x, -1));
    EXPECT_FALSE(HostFFT::Transform(empty, -1));
    std::vector<std::complex<double>> one(1, 2.0);
    EXPECT_TRUE(HostFFT::Transform(one, -1));
    EXPECT_EQ(one[0], std::complex<double>(2.0, 0.0));
    EXPECT_EQ(HostFFT::nextPowerOfTwo(1), 1u);
    EXPECT_EQ(HostFFT::nextPowerOfTwo(1025), 2048u);
    EXPECT_EQ(HostFFT::nextPowerOfTwo(4096), 4096u);
}
