// The spectrum conversion both front-end sections report with, checked once
// over the step-response and the pole/zero section: dB with the transform's
// 1/N undone, phase in degrees unwrapped across the +-180 seam, and a DC
// value that is mostly imaginary taken as zero.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <sstream>
#include <vector>

#include "eq/RxLTI_StepResp_AMI.h"
#include "pz/RxLTI_PZ_AMI.h"

using namespace Veltramodels20200612;

namespace {

template <class Section> class SectionSpectraFamilies : public ::testing::Test {
};

using Sections = ::testing::Types<RxLTI_StepResp_AMI, RxLTI_PZ_AMI>;
TYPED_TEST_SUITE(SectionSpectraFamilies, Sections);

TYPED_TEST(SectionSpectraFamilies, ConvertSpectrumUnwrapsPhase)
{
    TypeParam s;
    const double deg = 180.0 / 3.14159265358979323846;
    std::vector<std::complex<double>> z = {{0.0, 1.0}, {-1.0, 0.01}, {-1.0, -0.01}, {1.0, 0.0}};
    const std::vector<double> f = {0.0, 1.0, 2.0, 3.0};
    std::stringstream msg;
    ASSERT_TRUE(s.convertSpectrum(z, f, msg));
    EXPECT_EQ(msg.str(), "");
    const double offset = 20.0 * std::log10(8.0);
    // DC mostly imaginary: treated as zero.
    EXPECT_EQ(z[0], std::complex<double>(-400.0, 90.0));
    const double p1 = std::atan2(0.01, -1.0) * deg;
    EXPECT_NEAR(z[1].real(), 10.0 * std::log10(1.0001) + offset, 1e-12);
    EXPECT_NEAR(z[1].imag(), p1, 1e-12);
    EXPECT_NEAR(z[2].imag(), 360.0 - p1, 1e-12);  // across the +-180 seam
    EXPECT_NEAR(z[3].imag(), 360.0, 1e-12);
    EXPECT_NEAR(z[3].real(), offset, 1e-12);

    std::vector<std::complex<double>> down = {{0.1, -1.0}, {1.0, 0.0}};
    ASSERT_TRUE(s.convertSpectrum(down, {0.0, 1.0}, msg));
    EXPECT_EQ(down[0], std::complex<double>(-400.0, -90.0));
    EXPECT_NEAR(down[1].imag(), 0.0, 1e-12);

    std::vector<std::complex<double>> real = {{2.0, 1.0}, {0.0, 0.0}};
    ASSERT_TRUE(s.convertSpectrum(real, {0.0, 1.0}, msg));
    EXPECT_NEAR(real[0].real(), 10.0 * std::log10(5.0) + 20.0 * std::log10(4.0), 1e-12);
    EXPECT_NEAR(real[0].imag(), std::atan2(1.0, 2.0) * deg, 1e-12);
    EXPECT_NEAR(real[1].real(), -400.0 + 20.0 * std::log10(4.0), 1e-9);

    // Three turns down in steps just under half a turn: unwrapped to -540.
    std::vector<std::complex<double>> turning;
    for (int k = 0; k <= 6; ++k) {
        const double a = -k * 89.0 / deg * 2.0;  // -178 degrees a step
        turning.push_back(std::polar(1.0, a));
    }
    ASSERT_TRUE(s.convertSpectrum(turning, std::vector<double>(7, 0.0), msg));
    for (int k = 0; k <= 6; ++k)
        EXPECT_NEAR(turning[k].imag(), -178.0 * k, 1e-9) << k;

    std::vector<std::complex<double>> empty;
    EXPECT_TRUE(s.convertSpectrum(empty, {}, msg));
    EXPECT_EQ(msg.str(), "");
}

}  // namespace
