#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <sstream>
#include <vector>

#include "framework/SpectrumDataToImpulse.h"

using namespace Veltramodels20200612;

namespace {

constexpr double kPi = 3.14159265358979323846;

// Spectrum of a discrete sequence h at the frequencies f (sample rate fs).
void dtft(const std::vector<double>& h, const std::vector<double>& f, double fs, std::vector<double>& re,
          std::vector<double>& im)
{
    re.assign(f.size(), 0.0);
    im.assign(f.size(), 0.0);
    for (size_t i = 0; i < f.size(); ++i)
        for (size_t n = 0; n < h.size(); ++n) {
            const double a = -2.0 * kPi * f[i] * static_cast<double>(n) / fs;
            re[i] += h[n] * std::cos(a);
            im[i] += h[n] * std::sin(a);
        }
}

bool convert(SpectrumDataToImpulse& s, std::stringstream& msg)
{
    return s.Setup(nullptr, msg) && s.Initialize(msg) && s.Run(msg);
}

// Data given exactly on the transform grid, no taper: the short FIR comes
// back sample for sample.
TEST(SpectrumDataToImpulse, RecoversFirFromGridSpectrum)
{
    const double fs = 64e9;
    const std::vector<double> h = {0.0, 0.6, 0.3, -0.15, 0.05};
    SpectrumDataToImpulse s;
    s.FFT_Exponent = 10;
    s.TaperFraction = 0.0;
    s.SampleRate = fs;
    for (int k = 0; k <= 512; ++k)
        s.Frequency.push_back(k * fs / 1024.0);
    dtft(h, s.Frequency, fs, s.RealPart, s.ImagPart);
    std::stringstream msg;
    ASSERT_TRUE(convert(s, msg)) << msg.str();
    EXPECT_EQ(msg.str(), "");
    ASSERT_EQ(s.NumSamples, 5);
    ASSERT_EQ(s.Impulse.size(), 5u);
    for (size_t n = 0; n < h.size(); ++n)
        EXPECT_NEAR(s.Impulse[n], h[n], 1e-12) << n;
}

// A delayed Gaussian low-pass, tabulated on a coarse, uneven grid that does
// not start at 0 Hz, with the front end's settings: the result is the
// sampled Gaussian pulse.
TEST(SpectrumDataToImpulse, DelayedGaussianWithFrontEndSettings)
{
    const double fs = 25e9 * 32;  // 800 GS/s
    const double f0 = 20e9;       // Gaussian width in frequency
    const double tau = 100e-12;   // delay
    const double sigmaT = 1.0 / (2.0 * kPi * f0);
    SpectrumDataToImpulse s;
    s.SampleRate = fs;
    for (double f = 10e6; f <= 200e9; f += (f < 1e9 ? 10e6 : 50e6)) {
        s.Frequency.push_back(f);
        const double mag = std::exp(-0.5 * (f / f0) * (f / f0));
        s.RealPart.push_back(mag * std::cos(-2.0 * kPi * f * tau));
        s.ImagPart.push_back(mag * std::sin(-2.0 * kPi * f * tau));
    }
    std::stringstream msg;
    ASSERT_TRUE(convert(s, msg)) << msg.str();
    ASSERT_GT(s.NumSamples, 110);  // the pulse reaches 1e-6 of its peak 5.3 sigma after the delay
    ASSERT_EQ(static_cast<size_t>(s.NumSamples), s.Impulse.size());
    // The settled tail (tiny echoes of the data spacing included) is cut.
    EXPECT_LT(s.NumSamples, 120);
    const double ts = 1.0 / fs;
    double peak = 0.0, sum = 0.0, maxErr = 0.0;
    for (int n = 0; n < s.NumSamples; ++n) {
        const double t = n * ts - tau;
        const double ref = ts * std::exp(-0.5 * t * t / (sigmaT * sigmaT)) / (std::sqrt(2.0 * kPi) * sigmaT);
        peak = std::fmax(peak, ref);
        maxErr = std::fmax(maxErr, std::fabs(s.Impulse[n] - ref));
        sum += s.Impulse[n];
    }
    EXPECT_LT(maxErr, 2e-4 * peak);
    EXPECT_NEAR(sum, 1.0, 1e-4);  // gain at 0 Hz
    // Peak at the delay.
    int arg = 0;
    for (int n = 1; n < s.NumSamples; ++n)
        if (s.Impulse[n] > s.Impulse[arg])
            arg = n;
    EXPECT_EQ(arg, static_cast<int>(std::lround(tau * fs)));
}

// Causality: a response whose data implies energy just before time 0 loses
// that part instead of wrapping it to the end of the impulse.
TEST(SpectrumDataToImpulse, NegativeTimePartIsDropped)
{
    const double fs = 64e9;
    SpectrumDataToImpulse s;
    s.FFT_Exponent = 8;
    s.TaperFraction = 0.0;
    s.SampleRate = fs;
    // h[-2] = 0.25, h[0] = 1, h[3] = 0.5 (an advance of two samples).
    for (int k = 0; k <= 128; ++k) {
        const double f = k * fs / 256.0;
        s.Frequency.push_back(f);
        const double w = 2.0 * kPi * f / fs;
        s.RealPart.push_back(1.0 + 0.25 * std::cos(2.0 * w) + 0.5 * std::cos(-3.0 * w));
        s.ImagPart.push_back(0.25 * std::sin(2.0 * w) + 0.5 * std::sin(-3.0 * w));
    }
    std::stringstream msg;
    ASSERT_TRUE(convert(s, msg)) << msg.str();
    ASSERT_EQ(s.NumSamples, 4);
    EXPECT_NEAR(s.Impulse[0], 1.0, 1e-12);
    EXPECT_NEAR(s.Impulse[3], 0.5, 1e-12);

    // Without the causality rule the advanced sample stays at the end.
    s.EnforceCausality = 0;
    ASSERT_TRUE(convert(s, msg));
    ASSERT_EQ(s.NumSamples, 255);
    EXPECT_NEAR(s.Impulse[254], 0.25, 1e-12);
}

TEST(SpectrumDataToImpulse, ZeroHzEstimateAndScale)
{
    const double fs = 100e9;
    SpectrumDataToImpulse s;
    s.FFT_Exponent = 12;
    s.SampleRate = fs;
    s.TaperFraction = 0.0;
    s.Frequency = {1e9, 2e9};
    s.RealPart = {0.9, 0.8};
    s.ImagPart = {0.0, 0.0};
    s.SpectrumScale = 2.0;
    s.EnforceCausality = 0;  // keep every sample: their sum is the 0 Hz value
    std::stringstream msg;
    ASSERT_TRUE(convert(s, msg));
    double sum = 0.0;
    for (double v : s.Impulse)
        sum += v;
    EXPECT_NEAR(sum, 2.0 * 1.0, 1e-9);  // 0 Hz extrapolated linearly to 1.0, times 2

    s.ExtrapolationType = 1;
    ASSERT_TRUE(convert(s, msg));
    sum = 0.0;
    for (double v : s.Impulse)
        sum += v;
    EXPECT_NEAR(sum, 2.0 * 0.9, 1e-9);

    s.ExtrapolationType = 0;
    ASSERT_TRUE(convert(s, msg));
    sum = 0.0;
    for (double v : s.Impulse)
        sum += v;
    EXPECT_NEAR(sum, 0.0, 1e-9);
    EXPECT_EQ(msg.str(), "");
}

TEST(SpectrumDataToImpulse, BadInputFailsWithMessages)
{
    SpectrumDataToImpulse s;
    std::stringstream msg;
    EXPECT_FALSE(s.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "Frequency vector size must be > 0.\nSampleRate must be > 0.\n");
    EXPECT_FALSE(s.Initialize(msg));
    std::stringstream m0;
    EXPECT_FALSE(s.Run(m0));
    EXPECT_EQ(m0.str(), "SpectrumDataToImpulse::Initialize must succeed before Run.\n");

    SpectrumDataToImpulse t;
    t.SampleRate = 1e9;
    t.Frequency = {0.0, 2e6, 1e6};
    t.RealPart = {1.0, NAN, 1.0};
    t.ImagPart = {0.0, 0.0, 0.0};
    t.FFT_Exponent = 30;
    t.SpectrumScale = 0.0;
    t.InterpolationType = 2;
    t.TaperFraction = 0.6;
    t.ExtrapolationType = -1;
    t.EnforceCausality = 2;
    t.ZeroHzCorrection = 3;
    t.AcausalFractionLog2 = 0;
    std::stringstream m1;
    EXPECT_FALSE(t.Setup(nullptr, m1));
    EXPECT_EQ(m1.str(), "Frequency values must be >= 0 and strictly ascending.\n"
                        "Spectrum values must be finite.\n"
                        "FFT_Exponent must be an integer in the range [4, 24].\n"
                        "SpectrumScale must be a nonzero finite value.\n"
                        "InterpolationType must be either 0 or 1.\n"
                        "TaperFraction must be a value in the range [0, 0.5].\n"
                        "ExtrapolationType must be an integer in the range [0, 2].\n"
                        "EnforceCausality must be either 0 or 1.\n"
                        "ZeroHzCorrection must be either 0 or 1.\n"
                        "AcausalFractionLog2 must be an integer in the range [1, 8].\n");

    SpectrumDataToImpulse u;
    u.SampleRate = 1e9;
    u.Frequency = {0.0};
    u.RealPart = {1.0, 2.0};
    u.ImagPart = {0.0};
    std::stringstream m2;
    EXPECT_FALSE(u.Setup(nullptr, m2));
    EXPECT_EQ(m2.str(), "RealPart and ImagPart vector sizes must equal the Frequency vector size.\n");

    SpectrumDataToImpulse v;
    v.SampleRate = 1e9;
    v.Frequency = {6e8};
    v.RealPart = {1.0};
    v.ImagPart = {0.0};
    std::stringstream m3;
    EXPECT_FALSE(v.Setup(nullptr, m3));
    EXPECT_EQ(m3.str(), "Spectrum data must start at or below half the SampleRate.\n");
}

// Linear phase interpolated in real/imaginary parts still gives a real,
// causal impulse for a slowly varying response.
TEST(SpectrumDataToImpulse, RealImagInterpolation)
{
    const double fs = 64e9;
    const std::vector<double> h = {0.5, 0.5};
    SpectrumDataToImpulse s;
    s.FFT_Exponent = 9;
    s.TaperFraction = 0.0;
    s.InterpolationType = 0;
    s.SampleRate = fs;
    for (int k = 0; k <= 256; ++k)
        s.Frequency.push_back(k * fs / 512.0);
    dtft(h, s.Frequency, fs, s.RealPart, s.ImagPart);
    std::stringstream msg;
    ASSERT_TRUE(convert(s, msg));
    ASSERT_EQ(s.NumSamples, 2);
    EXPECT_NEAR(s.Impulse[0], 0.5, 1e-12);
    EXPECT_NEAR(s.Impulse[1], 0.5, 1e-12);
}

// Real/imaginary interpolation of a response whose phase turns fast between
// data points: the bulk delay is taken out before interpolating, so the
// chords between points do not shrink the response or add echoes.
TEST(SpectrumDataToImpulse, BulkDelayTakenOutBeforeInterpolation)
{
    const double fs = 100e9, f0 = 5e9, tau = 2e-9;
    const double sigmaT = 1.0 / (2.0 * kPi * f0);
    SpectrumDataToImpulse s;
    s.SampleRate = fs;
    s.FFT_Exponent = 14;
    s.InterpolationType = 0;
    for (int i = 0; i <= 2000; ++i) {
        const double f = i * 20e6;  // the phase turns 0.25 rad per point
        s.Frequency.push_back(f);
        const std::complex<double> h =
            std::exp(-0.5 * (f / f0) * (f / f0)) * std::polar(1.0, -2.0 * kPi * f * tau);
        s.RealPart.push_back(h.real());
        s.ImagPart.push_back(h.imag());
    }
    std::stringstream msg;
    ASSERT_TRUE(convert(s, msg)) << msg.str();
    const double ts = 1.0 / fs;
    double peak = 0.0, maxErr = 0.0;
    for (int n = 0; n < s.NumSamples; ++n) {
        const double t = n * ts - tau;
        const double ref = ts * std::exp(-0.5 * t * t / (sigmaT * sigmaT)) / (std::sqrt(2.0 * kPi) * sigmaT);
        peak = std::fmax(peak, ref);
        maxErr = std::fmax(maxErr, std::fabs(s.Impulse[n] - ref));
    }
    EXPECT_GT(peak, 0.07);
    EXPECT_LT(maxErr, 1e-6 * peak);
    // Data every 20 MHz resolve 50 ns; the impulse stays within half of it.
    EXPECT_LE(s.NumSamples, 2501);
}

// Data on every second transform bin, with no bulk delay to take out: the
// bins between data points are the chord in magnitude and phase
// (InterpolationType 1) or in real and imaginary parts (0), and the impulse
// is the inverse transform of those bins, computed here sum by sum.
TEST(SpectrumDataToImpulse, BinsBetweenDataPointsFollowTheInterpolationType)
{
    const double fs = 32.0;  // 32 bins of 1 Hz
    const std::vector<double> mag = {1.0, 0.9, 0.8, 0.7, 0.6, 0.5, 0.4, 0.3, 0.2};
    const std::vector<double> phase = {0.0, 0.6, 1.2, 0.9, 0.3, -0.5, -0.9, -0.4, 0.0};
    std::vector<double> impulse[2];
    for (int type = 0; type <= 1; ++type) {
        SpectrumDataToImpulse s;
        s.SampleRate = fs;
        s.FFT_Exponent = 5;
        s.TaperFraction = 0.0;
        s.EnforceCausality = 0;
        s.InterpolationType = type;
        for (size_t i = 0; i < mag.size(); ++i) {
            s.Frequency.push_back(2.0 * static_cast<double>(i));
            s.RealPart.push_back(mag[i] * std::cos(phase[i]));
            s.ImagPart.push_back(mag[i] * std::sin(phase[i]));
        }
        std::stringstream msg;
        ASSERT_TRUE(convert(s, msg)) << msg.str();
        std::vector<std::complex<double>> bins(17);
        for (size_t k = 0; k <= 16; ++k) {
            const size_t a = k / 2, b = (k + 1) / 2;
            if (type == 1)
                bins[k] = std::polar((mag[a] + mag[b]) / 2.0, (phase[a] + phase[b]) / 2.0);
            else
                bins[k] = (std::polar(mag[a], phase[a]) + std::polar(mag[b], phase[b])) / 2.0;
        }
        ASSERT_GT(s.NumSamples, 16) << type;
        for (int n = 0; n < s.NumSamples; ++n) {
            double sum = bins[0].real() + bins[16].real() * std::cos(kPi * n);
            for (int k = 1; k < 16; ++k)
                sum += 2.0 * (bins[k] * std::polar(1.0, 2.0 * kPi * k * n / 32.0)).real();
            EXPECT_NEAR(s.Impulse[n], sum / 32.0, 1e-12) << "type " << type << ", sample " << n;
        }
        impulse[type] = s.Impulse;
    }
    // The two rules part between the data points.
    EXPECT_GT(std::fabs(impulse[1][0] - impulse[0][0]), 1e-3);
}

// A response longer than the data spacing can describe is cut at half the
// resolved span.
TEST(SpectrumDataToImpulse, LengthLimitedByDataSpacing)
{
    const double fs = 64e9;
    std::vector<double> h(50, 0.0);
    h[0] = 1.0;
    h[45] = 0.5;  // 45 samples: beyond the 32 that 1 GHz spacing resolves (half of 64)
    SpectrumDataToImpulse s;
    s.SampleRate = fs;
    s.FFT_Exponent = 10;
    s.TaperFraction = 0.0;
    for (int k = 0; k <= 32; ++k)
        s.Frequency.push_back(k * 1e9);
    dtft(h, s.Frequency, fs, s.RealPart, s.ImagPart);
    std::stringstream msg;
    ASSERT_TRUE(convert(s, msg));
    EXPECT_LE(s.NumSamples, 33);
    EXPECT_GT(s.Impulse[0], 0.5);
}

}  // namespace
