#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "tools/ami-host/LossyChannel.h"

using namespace amihost;

namespace {

const double kPi = 3.14159265358979323846;

// Spectrum of a sampled impulse (V/s) at one frequency, by direct summation.
std::complex<double> spectrumAt(const std::vector<double>& h, double dt, double f)
{
    std::complex<double> s = 0.0;
    for (size_t n = 0; n < h.size(); ++n)
        s += h[n] * dt * std::polar(1.0, -2.0 * kPi * f * dt * static_cast<double>(n));
    return s;
}

}  // namespace

TEST(LossyChannel, ImpulseHasTheModelledSpectrumAndUnitDcGain)
{
    LossyChannel lc;
    std::vector<double> h;
    double dt = 0.0;
    std::string error;
    ASSERT_TRUE(lc.Build(h, dt, error)) << error;
    ASSERT_EQ(h.size(), static_cast<size_t>(lc.RecordBits * lc.SamplesPerBit));
    EXPECT_DOUBLE_EQ(dt, 1.0 / (12.8e9 * 32));
    // Gain at 0 Hz: the sum times the sample interval, 1 less the tail beyond
    // the record.
    double sum = 0.0;
    for (double v : h)
        sum += v * dt;
    EXPECT_NEAR(sum, 1.0, 0.02);
    EXPECT_LT(sum, 1.0);
    // The sampled impulse carries the transfer function, phase included.
    for (double f : {0.5e9, 2e9, 6.4e9, 12.8e9}) {
        const std::complex<double> want = lc.transfer(f);
        const std::complex<double> got = spectrumAt(h, dt, f);
        EXPECT_NEAR(std::abs(got - want), 0.0, 0.01) << f;
    }
}

TEST(LossyChannel, ResponseIsCausalAndPositive)
{
    LossyChannel lc;
    std::vector<double> h;
    double dt = 0.0;
    std::string error;
    ASSERT_TRUE(lc.Build(h, dt, error));
    double peak = 0.0;
    size_t at = 0;
    for (size_t i = 0; i < h.size(); ++i)
        if (h[i] > peak) {
            peak = h[i];
            at = i;
        }
    // Nothing arrives before the wavefront: the first samples hold only the
    // little of the slow tail that wraps around the FFT record, and the
    // dispersion delays the peak by (sqrt(eps'(f)) - sqrt(eps_inf)) L / c0,
    // about 60 ps here.
    for (size_t i = 0; i < 4; ++i)
        EXPECT_LT(std::fabs(h[i]), 2e-6 * peak) << i;
    EXPECT_GT(at * dt, 40e-12);
    EXPECT_LT(at * dt, 90e-12);
    // A passive line's impulse is a positive bump (no ringing).
    for (size_t i = 0; i < h.size(); ++i)
        ASSERT_GT(h[i], -1e-4 * peak) << i;
}

TEST(LossyChannel, LossFollowsTheStatedModel)
{
    LossyChannel lc;
    std::string error;
    ASSERT_TRUE(lc.check(error));
    // Insertion loss in dB is proportional to length.
    const double l1 = lc.lossDb(6.4e9);
    lc.LengthMetres *= 2;
    EXPECT_NEAR(lc.lossDb(6.4e9), 2 * l1, 1e-9 * l1);
    lc.LengthMetres = 0.0254;  // one inch

    // Conductor only: the stated dB/inch at the reference frequency, growing
    // with sqrt(f).
    LossyChannel c = lc;
    c.LossTangent = 0.0;
    EXPECT_NEAR(c.lossDb(1e9), c.ConductorLossDbPerInch, 1e-12);
    EXPECT_NEAR(c.lossDb(4e9), 2 * c.ConductorLossDbPerInch, 1e-12);

    // Dielectric only: alpha = pi f sqrt(er) tan(d) / c0 at low loss.
    LossyChannel d = lc;
    d.ConductorLossDbPerInch = 0.0;
    const double alpha = kPi * 1e9 * std::sqrt(d.EpsilonR) * d.LossTangent / 299792458.0 * 0.0254;  // Np/inch
    EXPECT_NEAR(d.lossDb(1e9), alpha * 8.685889638, 0.002 * alpha * 8.685889638);
    // The wideband Debye loss grows almost in proportion to f.
    EXPECT_NEAR(d.lossDb(10e9) / d.lossDb(1e9), 10.0, 0.3);

    // Dispersion of a causal dielectric: low frequencies travel slower, so
    // after the wavefront delay is taken out the phase delay falls with f.
    auto phaseDelay = [&](double f) { return -std::arg(d.transfer(f)) / (2 * kPi * f); };
    EXPECT_GT(phaseDelay(0.5e9), phaseDelay(5e9));
    EXPECT_GT(phaseDelay(5e9), 0.0);

    // The default channel loses about 11 dB at its Nyquist frequency.
    LossyChannel def;
    EXPECT_NEAR(def.lossDb(6.4e9), 10.8, 0.3);
}

TEST(LossyChannel, RejectsUnphysicalSettings)
{
    std::string error;
    std::vector<double> h;
    double dt = 0.0;
    LossyChannel a;
    a.LengthMetres = 0.0;
    EXPECT_FALSE(a.Build(h, dt, error));
    EXPECT_EQ(error, "channel length must be > 0 and <= 10 m");
    LossyChannel b;
    b.LengthMetres = std::nan("");
    EXPECT_FALSE(b.check(error));
    LossyChannel c;
    c.SamplesPerBit = 2;
    EXPECT_FALSE(c.check(error));
    EXPECT_EQ(error, "samples per bit must be in [4, 1024]");
    LossyChannel d;
    d.EpsilonR = 0.5;
    EXPECT_FALSE(d.check(error));
    LossyChannel e;
    e.BitRate = -1;
    EXPECT_FALSE(e.check(error));
    EXPECT_TRUE(h.empty());
}
