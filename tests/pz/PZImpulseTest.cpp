#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <sstream>
#include <vector>

#include "pz/PZImpulse.h"

using namespace Veltramodels20200612;

namespace {

const double kPi = 3.141592653589793;
const double kTwoPi = 2.0 * kPi;
typedef std::complex<double> cd;

struct Set {
    std::vector<double> poles, zeros, time, impulse;
    std::vector<cd> cpoles, czeros;
    PZImpulse pz;
    Set(double bitRate, int spb, double gain)
    {
        pz.BitRate = bitRate;
        pz.SamplesPerBit = spb;
        pz.GainDC = gain;
        pz.Poles = &poles;
        pz.Zeros = &zeros;
        pz.CPoles = &cpoles;
        pz.CZeros = &czeros;
        pz.TimeArray = &time;
        pz.ImpulseArray = &impulse;
    }
    bool run(std::stringstream& msg) { return pz.Setup(nullptr, msg) && pz.Initialize(msg); }
};

double peakAbs(const std::vector<double>& v)
{
    double m = 0.0;
    for (double x : v)
        m = std::max(m, std::fabs(x));
    return m;
}

double sum(const std::vector<double>& v)
{
    double s = 0.0;
    for (double x : v)
        s += x;
    return s;
}

// Unit-sample response of a biquad (b0 + b1/z + b2/z^2)/(1 + a1/z + a2/z^2).
std::vector<double> biquadImpulse(double b0, double b1, double b2, double a1, double a2, size_t n)
{
    std::vector<double> y(n);
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (size_t i = 0; i < n; ++i) {
        double x = i == 0 ? 1.0 : 0.0;
        y[i] = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y[i];
    }
    return y;
}

TEST(PZImpulse, CountCheck)
{
    {
        Set s(10e9, 32, 1.0);
        s.poles = {-1e9};
        s.zeros = {-2e9};
        std::stringstream msg;
        EXPECT_FALSE(s.pz.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "numPoles must be >= numZeros+1.\n");
    }
    {
        Set s(10e9, 32, 1.0);
        s.cpoles = {cd(-1e9, 2e9)};
        s.zeros = {-2e9};
        std::stringstream msg;
        EXPECT_TRUE(s.pz.Setup(nullptr, msg)) << msg.str();
        EXPECT_EQ(s.pz.NumPoles, 2);
        EXPECT_EQ(s.pz.UseSpectrumRoute, 1);
    }
}

TEST(PZImpulse, RootMessages)
{
    Set s(10e9, 32, 1.0);
    s.poles = {1e9, -1e9};
    s.zeros = {0.0};
    s.cpoles = {cd(0.0, 0.0), cd(-1e9, 0.0), cd(-1e9, 1e9), cd(-1e9, 1e9)};
    s.czeros = {cd(1e9, 1e9)};
    std::stringstream msg;
    EXPECT_FALSE(s.pz.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "Poles must be in radians < 0.\n"
                         "Zeros must be in radians < 0.\n"
                         "CPoles must have magnitude > 0.\n"
                         "CPoles.real() must be < 0.\n"
                         "CPoles.imag() must not be 0.\n"
                         "CPoles.imag() must not be 0.\n"
                         "CZeros.real() must be < 0.\n");
}

TEST(PZImpulse, ParameterMessages)
{
    {
        Set s(0.0, 2, 0.0);
        s.poles = {-1e9};
        s.pz.WarpFreq = 2;
        s.pz.AutoSetWarpFreq = -1;
        s.pz.InvertHs = 5;
        s.pz.AdditionalTimeDelay = -1e-12;
        std::stringstream msg;
        EXPECT_FALSE(s.pz.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "BitRate must be > 0.\n"
                             "SamplesPerBit must be >= 4.\n"
                             "GainDC must be non-zero.\n"
                             "WarpFreq must be 0 or 1.\n"
                             "AutoSetWarpFreq must be 0 or 1.\n"
                             "InvertHs must be 0 or 1.\n"
                             "AdditionalTimeDelay must be >= 0.\n");
    }
    {
        Set s(10e9, 3, 1.0);
        s.poles = {-1e9};
        s.pz.TimeArray = nullptr;
        std::stringstream msg;
        EXPECT_FALSE(s.pz.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "SamplesPerBit must be >= 4.\n");
    }
    {
        Set s(10e9, 8, 1.0);
        s.poles = {-1e9};
        s.pz.TimeArray = nullptr;
        s.pz.ImpulseArray = nullptr;
        std::stringstream msg;
        EXPECT_FALSE(s.pz.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "Time array must be assigned.\n");
    }
    {
        Set s(10e9, 8, 1.0);
        s.poles = {-1e9};
        s.pz.ImpulseArray = nullptr;
        std::stringstream msg;
        EXPECT_FALSE(s.pz.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "Impulse array must be assigned.\n");
    }
}

TEST(PZImpulse, GridSize)
{
    // fs = 320 GS/s, lowest root 1 GHz: M = 1600, nearest power 2^11, K = 4096.
    Set s(10e9, 32, 1.0);
    s.poles = {-kTwoPi * 1e9, -kTwoPi * 5e9};
    std::stringstream msg;
    ASSERT_TRUE(s.pz.Setup(nullptr, msg));
    EXPECT_EQ(s.pz.NumPoints, 4096);
    // A root above the band gives the floor of 1024 points.
    Set t(10e9, 4, 1.0);
    t.poles = {-kTwoPi * 1e12};
    ASSERT_TRUE(t.pz.Setup(nullptr, msg));
    EXPECT_EQ(t.pz.NumPoints, 1024);
}

TEST(PZImpulse, IIRRouteSinglePole)
{
    // p/(s+p) pre-warped once: the bilinear first-order section, in gain per sample.
    Set s(10e9, 32, 2.0);
    s.pz.WarpFreq = 0;
    const double fs = 320e9, p = kTwoPi * 1e9;
    s.poles = {-p};
    std::stringstream msg;
    ASSERT_TRUE(s.run(msg)) << msg.str();
    EXPECT_EQ(msg.str(), "");
    ASSERT_EQ(s.impulse.size(), 4096u);
    ASSERT_EQ(s.time.size(), s.impulse.size());
    EXPECT_DOUBLE_EQ(s.time[3], 3.0 / fs);
    const double pw = 2.0 * fs * std::tan(p / (2.0 * fs));
    const double c = 2.0 * fs / pw + 1.0;
    const double b0 = 1.0 / c, a1 = (1.0 - 2.0 * fs / pw) / c;
    std::vector<double> ref = biquadImpulse(b0, b0, 0.0, a1, 0.0, 4096);
    for (size_t n = 0; n < 4096; ++n)
        ASSERT_NEAR(s.impulse[n], 2.0 * ref[n], 1e-15) << n;
    EXPECT_NEAR(sum(s.impulse), 2.0, 1e-12);
}

// The two routes realise the same filter: the spectrum route, forced with
// root type 2, must reproduce the IIR route on real roots.
void compareRoutes(int warpFreq, double gain)
{
    const double fs = 320e9;
    std::vector<double> poles{-kTwoPi * 1e9, -kTwoPi * 5e9, -kTwoPi * 12e9}, zeros{-kTwoPi * 3e9};
    if (warpFreq == 1) {
        for (double& x : poles)
            x = PZImpulse::warpRoot(x, fs);
        for (double& x : zeros)
            x = PZImpulse::warpRoot(x, fs);
    }
    Set a(10e9, 32, gain), b(10e9, 32, gain);
    a.poles = b.poles = poles;
    a.zeros = b.zeros = zeros;
    a.pz.WarpFreq = b.pz.WarpFreq = warpFreq;
    b.pz.RootType = 2;
    std::stringstream msg;
    ASSERT_TRUE(a.run(msg)) << msg.str();
    ASSERT_TRUE(b.run(msg)) << msg.str();
    EXPECT_EQ(a.pz.UseSpectrumRoute, 0);
    EXPECT_EQ(b.pz.UseSpectrumRoute, 1);
    ASSERT_EQ(a.impulse.size(), b.impulse.size());
    const double peak = peakAbs(a.impulse);
    for (size_t n = 0; n < a.impulse.size(); ++n)
        ASSERT_NEAR(a.impulse[n], b.impulse[n], 1e-10 * peak) << n;
    EXPECT_NEAR(sum(a.impulse), gain, 1e-9 * std::fabs(gain));
    EXPECT_NEAR(sum(b.impulse), gain, 1e-9 * std::fabs(gain));
}

TEST(PZImpulse, RoutesAgreeOnRealRoots)
{
    compareRoutes(0, 1.7);
    compareRoutes(1, -0.4);
}

TEST(PZImpulse, ComplexPolePairAgainstBiquadAndAnalytic)
{
    // w0^2 / (s^2 + 2 zeta w0 s + w0^2), zeta 0.3, f0 = 2 GHz, at 320 GS/s.
    const double fs = 320e9, T = 1.0 / fs, w0 = kTwoPi * 2e9, zeta = 0.3;
    const double wd = w0 * std::sqrt(1.0 - zeta * zeta);
    Set s(10e9, 32, 1.0);
    s.pz.WarpFreq = 0;
    s.cpoles = {cd(-zeta * w0, wd)};
    std::stringstream msg;
    ASSERT_TRUE(s.run(msg)) << msg.str();
    ASSERT_GT(s.impulse.size(), 2000u);

    // Bilinear transform of the pre-warped pair, worked out by hand:
    // p = pre-warped pole, c = 2 fs, H(z) = |p|^2 (1 + 1/z)^2 / D(z).
    cd p = PZImpulse::warpRoot(cd(-zeta * w0, wd), fs);
    const double m2 = std::norm(p), c = 2.0 * fs, sr = -2.0 * p.real();
    const double d0 = c * c + sr * c + m2, d1 = 2.0 * m2 - 2.0 * c * c, d2 = c * c - sr * c + m2;
    std::vector<double> ref =
        biquadImpulse(m2 / d0, 2.0 * m2 / d0, m2 / d0, d1 / d0, d2 / d0, s.impulse.size());
    const double peak = peakAbs(ref);
    for (size_t n = 0; n < s.impulse.size(); ++n)
        ASSERT_NEAR(s.impulse[n], ref[n], 1e-9 * peak) << n;

    // Against the analytic impulse response T h(nT): the bilinear transform
    // differs from it only by terms of order (w0 T)^2.
    for (size_t n = 1; n < 2000; ++n) {
        double t = n * T;
        double h = w0 / std::sqrt(1.0 - zeta * zeta) * std::exp(-zeta * w0 * t) * std::sin(wd * t) * T;
        ASSERT_NEAR(s.impulse[n], h, 2e-3 * peak) << n;
    }
    // Step response: final value 1, overshoot exp(-pi zeta / sqrt(1 - zeta^2)).
    double acc = 0.0, top = 0.0;
    for (double v : s.impulse) {
        acc += v;
        top = std::max(top, acc);
    }
    EXPECT_NEAR(acc, 1.0, 1e-9);
    EXPECT_NEAR(top - 1.0, std::exp(-kPi * zeta / std::sqrt(1.0 - zeta * zeta)), 1e-3);
}

TEST(PZImpulse, InverseResponse)
{
    // H = 1/((1 + s/p)(1 + s/q)), gain 2. The inverse, made proper by two
    // poles at wc = sqrt(10^2.5 p q) (50 dB of boost at high frequency), is
    // (1 + s/p)(1 + s/q) / (2 (1 + s/wc)^2).
    const double fs = 320e9;
    const double p = kTwoPi * 1e9, q = kTwoPi * 3e9;
    Set s(10e9, 32, 2.0), plain(10e9, 32, 2.0);
    s.pz.WarpFreq = plain.pz.WarpFreq = 0;
    s.pz.InvertHs = 1;
    s.poles = plain.poles = {-p, -q};
    std::stringstream msg;
    ASSERT_TRUE(s.run(msg)) << msg.str();
    ASSERT_TRUE(plain.run(msg)) << msg.str();
    EXPECT_EQ(msg.str(), "");
    EXPECT_EQ(s.pz.UseSpectrumRoute, 1);
    EXPECT_EQ(plain.pz.UseSpectrumRoute, 0);
    const double wc = std::sqrt(std::pow(10.0, 2.5) * p * q);
    EXPECT_NEAR(s.pz.InverseRollOff, wc, 1e-9 * wc);
    EXPECT_NEAR(sum(s.impulse), 0.5, 1e-9);

    // The plain response (IIR route) convolved with the inverse leaves only
    // the roll-off, the bilinear transform of 1/(1 + s/wc)^2 with wc
    // pre-warped: w^2 (1 + 1/z)^2 / ((c + w) + (w - c)/z)^2, c = 2 fs. The
    // inverse's tail was cut at 1% of its gain at 0 Hz, which bounds the
    // difference.
    std::vector<double> y(plain.impulse.size() + s.impulse.size() - 1, 0.0);
    for (size_t i = 0; i < plain.impulse.size(); ++i)
        for (size_t j = 0; j < s.impulse.size(); ++j)
            y[i + j] += plain.impulse[i] * s.impulse[j];
    EXPECT_NEAR(sum(y), 1.0, 1e-9);
    const double w = 2.0 * fs * std::tan(wc / (2.0 * fs)), c = 2.0 * fs;
    const double d0 = (c + w) * (c + w), g = (w - c) / (c + w);
    std::vector<double> ref =
        biquadImpulse(w * w / d0, 2.0 * w * w / d0, w * w / d0, 2.0 * g, g * g, y.size());
    for (size_t n = 0; n < y.size(); ++n)
        ASSERT_NEAR(y[n], ref[n], 5e-4) << n;
    for (double f : {0.5e9, 2e9, 6e9, 20e9}) {
        cd acc = 0.0;
        for (size_t n = 0; n < y.size(); ++n)
            acc += y[n] * std::polar(1.0, -kTwoPi * f * n / fs);
        cd jw(0.0, 2.0 * fs * std::tan(kPi * f / fs));
        cd want = 1.0 / ((1.0 + jw / w) * (1.0 + jw / w));
        EXPECT_NEAR(std::abs(acc - want), 0.0, 2e-3) << f;
    }
}

TEST(PZImpulse, AdditionalDelayIsFractionalAndKeepsTheSum)
{
    const double fs = 320e9;
    Set a(10e9, 32, 1.0), b(10e9, 32, 1.0);
    a.poles = b.poles = {-kTwoPi * 4e9, -kTwoPi * 9e9};
    b.pz.AdditionalTimeDelay = 2.25 / fs;
    std::stringstream msg;
    ASSERT_TRUE(a.run(msg));
    ASSERT_TRUE(b.run(msg));
    EXPECT_EQ(b.pz.DelayLineLength, 4);
    ASSERT_EQ(b.impulse.size(), a.impulse.size() + 3);
    EXPECT_EQ(b.impulse[0], 0.0);
    EXPECT_EQ(b.impulse[1], 0.0);
    for (size_t n = 2; n < b.impulse.size(); ++n) {
        double x0 = n - 2 < a.impulse.size() ? a.impulse[n - 2] : 0.0;
        double x1 = n >= 3 && n - 3 < a.impulse.size() ? a.impulse[n - 3] : 0.0;
        ASSERT_NEAR(b.impulse[n], 0.75 * x0 + 0.25 * x1, 1e-16) << n;
    }
    EXPECT_NEAR(sum(b.impulse), sum(a.impulse), 1e-12);
    EXPECT_DOUBLE_EQ(b.time.back(), (b.impulse.size() - 1) / fs);
}

TEST(PZImpulse, WarpHelpers)
{
    const double fs = 256e9;
    double x = -kTwoPi * 1e9;
    double w = PZImpulse::warpRoot(x, fs);
    EXPECT_NEAR(w / x, 1.0000502, 1e-7);
    EXPECT_NEAR(PZImpulse::unwarpRoot(w, fs), x, 1e-6);
    cd z(-3e10, 9e10);
    cd zw = PZImpulse::warpRoot(z, fs);
    EXPECT_NEAR(std::arg(zw), std::arg(z), 1e-15);
    EXPECT_NEAR(std::abs(PZImpulse::unwarpRoot(zw, fs) - z), 0.0, 1e-3);
    // Beyond Nyquist the root stays in the left half-plane, far above the band.
    double far = PZImpulse::warpRoot(-kTwoPi * 0.6 * fs, fs);
    EXPECT_LT(far, -1e6 * fs);
}

TEST(PZImpulse, ShortenKeepsTheSum)
{
    PZImpulse pz;
    std::vector<double> h{1.0, 0.5, 0.004, 0.003, -0.002, 0.001, 0.0, 0.0};
    std::vector<double> g = h;
    pz.shortenConverted_h_Out(g, 0.0);
    EXPECT_EQ(g.size(), 6u);
    pz.shortenConverted_h_Out(h, 0.01);  // 1% of the sum 1.506 allows a tail of 0.01506
    ASSERT_EQ(h.size(), 2u);
    EXPECT_DOUBLE_EQ(h[1], 0.5 + 0.006);
}

}  // namespace
