#include "dsp/FFT.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

using Veltramodels20200612::FFT;
using cvec = std::vector<std::complex<double>>;

namespace {

cvec randomVector(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    cvec v(n);
    for (auto& x : v)
        x = {u(gen), u(gen)};
    return v;
}

// Textbook DFT with exact-angle twiddles; sign -1 forward (scaled 1/N),
// +1 inverse (unscaled).
cvec naiveDft(const cvec& x, int sign)
{
    const std::size_t n = x.size();
    const double pi = std::acos(-1.0);
    cvec table(n);
    for (std::size_t k = 0; k < n; ++k)
        table[k] = std::polar(1.0, sign * 2.0 * pi * static_cast<double>(k) / static_cast<double>(n));
    cvec out(n);
    for (std::size_t k = 0; k < n; ++k) {
        std::complex<double> s = 0.0;
        for (std::size_t j = 0; j < n; ++j)
            s += x[j] * table[(k * j) % n];
        out[k] = sign < 0 ? s / static_cast<double>(n) : s;
    }
    return out;
}

double maxAbs(const cvec& v)
{
    double m = 0.0;
    for (const auto& x : v)
        m = std::max(m, std::abs(x));
    return m;
}

double maxDiff(const cvec& a, const cvec& b)
{
    double m = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i)
        m = std::max(m, std::abs(a[i] - b[i]));
    return m;
}

// A literal rendering of the transform: counter bit reversal, the first
// stage's constants, the trigonometric recurrence and the m-outer, i-inner
// butterfly order. The production code visits the butterflies in another
// order and must give bit-identical numbers.
void literalFft(cvec& a, int direction)
{
    const int n = static_cast<int>(a.size());
    int j = 0;
    for (int i = 1; i < n; ++i) {
        int m = n / 2;
        while (m > 0 && j >= m) {
            j -= m;
            m /= 2;
        }
        j += m;
        if (i < j)
            std::swap(a[i], a[j]);
    }
    const double pi = 3.141592653589793;
    const double s = direction == 1 ? 1.0 : -1.0;
    for (int mmax = 1; mmax < n; mmax *= 2) {
        double c, sn;
        if (mmax == 1) {
            c = -1.0;
            sn = direction == 1 ? -1.2246467991473532e-16 : 1.2246467991473532e-16;
        } else {
            const double theta = -pi / (s * mmax);
            c = std::cos(theta);
            sn = std::sin(theta);
        }
        const double wpr = c - 1.0, wpi = sn;
        double wr = 1.0, wi = 0.0;
        for (int m = 0; m < mmax; ++m) {
            for (int i = m; i < n; i += 2 * mmax) {
                const int jj = i + mmax;
                const double ar = a[jj].real(), ai = a[jj].imag();
                const double tr = wr * ar - wi * ai;
                const double ti = wr * ai + wi * ar;
                a[jj] = {a[i].real() - tr, a[i].imag() - ti};
                a[i] = {a[i].real() + tr, a[i].imag() + ti};
            }
            const double pr = wr * wpr - wi * wpi;
            const double pim = wr * wpi + wi * wpr;
            wr = wr + pr;
            wi = wi + pim;
        }
    }
    if (direction == 1) {
        const double scale = 1.0 / n;
        for (auto& x : a)
            x = {x.real() * scale, x.imag() * scale};
    }
}

}  // namespace

TEST(FFTTest, ImpulseForwardIsFlatAndInverseRestoresIt)
{
    FFT fft;
    cvec v = {1.0, 0.0, 0.0, 0.0};
    fft.ComplexFFT(v, 1);
    for (const auto& x : v) {
        EXPECT_EQ(x.real(), 0.25);
        EXPECT_EQ(x.imag(), 0.0);
    }
    fft.ComplexFFT(v, 0);
    EXPECT_EQ(v[0], std::complex<double>(1.0, 0.0));
    for (int i = 1; i < 4; ++i)
        EXPECT_EQ(std::abs(v[i]), 0.0);
}

TEST(FFTTest, ForwardThenInverseGivesBackTheInput)
{
    // The twiddles come from a recurrence whose rounding error grows about
    // linearly with the stage length, hence the length-dependent bound.
    for (int p = 0; p <= 18; ++p) {
        const std::size_t n = std::size_t(1) << p;
        const cvec x = randomVector(n, 100 + p);
        cvec y = x;
        FFT fft;
        fft.ComplexFFT(y, 1);
        fft.ComplexFFT(y, 0);
        EXPECT_LT(maxDiff(x, y), (1e-14 + 1e-16 * static_cast<double>(n)) * maxAbs(x)) << "n = " << n;
    }
}

TEST(FFTTest, AgreesWithNaiveDftUpTo4096Points)
{
    for (int p = 0; p <= 12; ++p) {
        const std::size_t n = std::size_t(1) << p;
        const cvec x = randomVector(n, 7 + p);
        FFT fft;

        cvec forward = x;
        fft.ComplexFFT(forward, 1);
        const cvec refForward = naiveDft(x, -1);
        EXPECT_LT(maxDiff(forward, refForward), 1e-13 * maxAbs(refForward) + 1e-16) << "n = " << n;

        cvec inverse = x;
        fft.ComplexFFT(inverse, 0);
        const cvec refInverse = naiveDft(x, +1);
        EXPECT_LT(maxDiff(inverse, refInverse), 1e-12 * maxAbs(refInverse)) << "n = " << n;
    }
}

TEST(FFTTest, AnyDirectionOtherThanOneIsTheInverse)
{
    const cvec x = randomVector(64, 3);
    cvec a = x, b = x, c = x;
    FFT fft;
    fft.ComplexFFT(a, 0);
    fft.ComplexFFT(b, -1);
    fft.ComplexFFT(c, 2);
    for (std::size_t i = 0; i < x.size(); ++i) {
        EXPECT_EQ(a[i], b[i]);
        EXPECT_EQ(a[i], c[i]);
    }
}

TEST(FFTTest, BitIdenticalToTheLiteralRecurrenceAlgorithm)
{
    // Sizes below, at and well above the cache chunk, both directions, and a
    // reused object (cached tables) next to a fresh one.
    FFT reused;
    for (int p : {1, 2, 3, 5, 8, 11, 12, 13, 14, 15, 17}) {
        const std::size_t n = std::size_t(1) << p;
        for (int direction : {1, 0}) {
            const cvec x = randomVector(n, 31 * p + direction);
            cvec expected = x;
            literalFft(expected, direction);
            cvec got = x;
            reused.ComplexFFT(got, direction);
            cvec fresh = x;
            FFT().ComplexFFT(fresh, direction);
            std::size_t mismatches = 0;
            for (std::size_t i = 0; i < n; ++i) {
                if (got[i] != expected[i] || fresh[i] != expected[i])
                    ++mismatches;
            }
            EXPECT_EQ(mismatches, 0u) << "n = " << n << " direction = " << direction;
        }
    }
}

TEST(FFTTest, LengthsThatAreNotPowersOfTwoAreLeftUntouched)
{
    FFT fft;
    for (std::size_t n : {0u, 3u, 5u, 6u, 12u, 100u, 1000u}) {
        const cvec x = randomVector(n, static_cast<unsigned>(n));
        cvec y = x;
        fft.ComplexFFT(y, 1);
        EXPECT_EQ(y, x) << "n = " << n;
        fft.ComplexFFT(y, 0);
        EXPECT_EQ(y, x) << "n = " << n;
    }
    EXPECT_FALSE(FFT::isValidLength(0));
    EXPECT_FALSE(FFT::isValidLength(6));
    EXPECT_TRUE(FFT::isValidLength(1));
    EXPECT_TRUE(FFT::isValidLength(std::size_t(1) << 30));
    EXPECT_FALSE(FFT::isValidLength(std::size_t(1) << 31));

    // The object still transforms valid lengths afterwards.
    cvec v = {1.0, 0.0};
    fft.ComplexFFT(v, 1);
    EXPECT_EQ(v[0], std::complex<double>(0.5, 0.0));
    EXPECT_EQ(v[1], std::complex<double>(0.5, 0.0));
}

TEST(FFTTest, UseFileGetsOneLinePerObject)
{
    const std::string path = ::testing::TempDir() + "fft_use_file.txt";
    {
        std::ofstream log(path);
        FFT fft(&log);
        cvec v(8, 1.0);
        fft.ComplexFFT(v, 1);
        fft.ComplexFFT(v, 0);
        fft.restartUseLog(&log);
        fft.ComplexFFT(v, 1);
        FFT silent;
        silent.ComplexFFT(v, 1);
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "Veltramodels20200612::FFT::ComplexFFT\nVeltramodels20200612::FFT::ComplexFFT\n");
}
