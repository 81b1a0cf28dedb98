// RealFFT against a naive DFT evaluated in long double with exactly reduced
// angles, round trips, linearity, and the lengths it refuses.
#include "dsp/RealFFT.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <thread>
#include <vector>

using namespace Veltramodels20200612;

namespace {

const double kEps = std::numeric_limits<double>::epsilon();

std::vector<double> randomSignal(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> x(n);
    for (double& v : x)
        v = u(gen);
    return x;
}

// X[k] = sum_j x[j] exp(-2 pi i jk/N), k <= N/2, in long double. The angle
// index jk is reduced modulo N in integers and every root comes from a long
// double cosine and sine of its own angle, so the reference has no twiddle
// error of its own worth speaking of.
std::vector<std::complex<long double>> naiveDft(const std::vector<double>& x)
{
    const std::size_t n = x.size();
    const long double twoPi = 6.283185307179586476925286766559L;
    std::vector<long double> c(n), s(n);
    for (std::size_t j = 0; j < n; ++j) {
        c[j] = std::cos(twoPi * static_cast<long double>(j) / static_cast<long double>(n));
        s[j] = std::sin(twoPi * static_cast<long double>(j) / static_cast<long double>(n));
    }
    std::vector<std::complex<long double>> X(n / 2 + 1);
    for (std::size_t k = 0; k <= n / 2; ++k) {
        long double re = 0.0L, im = 0.0L;
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t a = (j * k) % n;
            re += x[j] * c[a];
            im -= x[j] * s[a];
        }
        X[k] = std::complex<long double>(re, im);
    }
    return X;
}

// Relative error in the 2-norm over the half spectrum.
double relativeError(const std::vector<std::complex<double>>& got,
                     const std::vector<std::complex<long double>>& want)
{
    long double err = 0.0L, norm = 0.0L;
    for (std::size_t k = 0; k < want.size(); ++k) {
        const std::complex<long double> d = std::complex<long double>(got[k]) - want[k];
        err += std::norm(d);
        norm += std::norm(want[k]);
    }
    return static_cast<double>(std::sqrt(err / norm));
}

}  // namespace

// An FFT with accurate twiddles has a norm-wise relative error that grows
// like eps * log2 N (each of the log2 N stages adds a few rounding units);
// one whose twiddles come from a recurrence grows like eps * N. This
// transform stays at 0.2 to 0.5 of eps log2 N from 16 to 16384 points; with
// recurrence twiddles it exceeds the bound tenfold from 1024 points on.
TEST(RealFFT, MatchesNaiveDftToRoundingThatGrowsWithLogN)
{
    for (std::size_t n : {2u, 4u, 8u, 16u, 64u, 256u, 1024u, 4096u}) {
        const std::vector<double> x = randomSignal(n, static_cast<unsigned>(n));
        RealFFT fft;
        ASSERT_TRUE(fft.Prepare(n));
        std::vector<std::complex<double>> X(n / 2 + 1);
        fft.Forward(x.data(), X.data());
        const double log2n = std::max(1.0, std::log2(static_cast<double>(n)));
        const double error = relativeError(X, naiveDft(x));
        EXPECT_LE(error, kEps * log2n) << "N = " << n;
        RecordProperty("relative_error_" + std::to_string(n), std::to_string(error));
        // Bins 0 and N/2 of a real signal are real.
        EXPECT_EQ(X[0].imag(), 0.0);
        EXPECT_EQ(X[n / 2].imag(), 0.0);
    }
}

TEST(RealFFT, ImpulsesGiveUnitRootsAndConstantsGiveOneBin)
{
    const std::size_t n = 32;
    RealFFT fft;
    ASSERT_TRUE(fft.Prepare(n));
    std::vector<std::complex<double>> X(n / 2 + 1);
    // A unit impulse at j0: X[k] = exp(-2 pi i j0 k / N).
    for (std::size_t j0 : {0u, 1u, 5u, 31u}) {
        std::vector<double> x(n, 0.0);
        x[j0] = 1.0;
        fft.Forward(x.data(), X.data());
        for (std::size_t k = 0; k <= n / 2; ++k) {
            const double a = 2.0 * M_PI * static_cast<double>((j0 * k) % n) / n;
            EXPECT_NEAR(X[k].real(), std::cos(a), 4 * kEps) << j0 << " " << k;
            EXPECT_NEAR(X[k].imag(), -std::sin(a), 4 * kEps) << j0 << " " << k;
        }
    }
    // A constant c: N c in bin 0, nothing elsewhere.
    std::vector<double> c(n, 0.75);
    fft.Forward(c.data(), X.data());
    EXPECT_DOUBLE_EQ(X[0].real(), 0.75 * n);
    for (std::size_t k = 1; k <= n / 2; ++k)
        EXPECT_LE(std::abs(X[k]), 8 * kEps * n) << k;
}

TEST(RealFFT, InverseOfForwardGivesNTimesTheInput)
{
    for (std::size_t n : {2u, 8u, 128u, 1u << 12, 1u << 16}) {
        const std::vector<double> x = randomSignal(n, 7u + static_cast<unsigned>(n));
        RealFFT fft;
        ASSERT_TRUE(fft.Prepare(n));
        std::vector<std::complex<double>> X(n / 2 + 1);
        std::vector<double> back(n);
        fft.Forward(x.data(), X.data());
        const std::vector<std::complex<double>> kept = X;
        fft.Inverse(X.data(), back.data());
        EXPECT_EQ(X, kept) << "Inverse must not write its input";
        double worst = 0.0;
        for (std::size_t j = 0; j < n; ++j)
            worst = std::max(worst, std::fabs(back[j] / n - x[j]));
        // Two transforms, each a few rounding units per stage on values of
        // magnitude up to 1.
        EXPECT_LE(worst, 4.0 * kEps * std::log2(static_cast<double>(n)) + 2 * kEps) << "N = " << n;
    }
}

// The inverse of a product, formed as the bins are read, against forming
// the product first with the written-out formula and transforming it: the
// same bits at every length, and the inputs untouched.
TEST(RealFFT, InverseOfProductIsTheInverseOfTheFormedProduct)
{
    for (std::size_t n = 2; n <= (std::size_t(1) << 13); n *= 2) {
        const std::vector<double> a = randomSignal(n, 31u + static_cast<unsigned>(n));
        const std::vector<double> b = randomSignal(n, 57u + static_cast<unsigned>(n));
        RealFFT fft;
        ASSERT_TRUE(fft.Prepare(n));
        std::vector<std::complex<double>> A(n / 2 + 1), B(n / 2 + 1), P(n / 2 + 1);
        fft.Forward(a.data(), A.data());
        fft.Forward(b.data(), B.data());
        for (std::size_t k = 0; k <= n / 2; ++k)
            P[k] = std::complex<double>(A[k].real() * B[k].real() - A[k].imag() * B[k].imag(),
                                        A[k].real() * B[k].imag() + A[k].imag() * B[k].real());
        const std::vector<std::complex<double>> keptA = A, keptB = B;
        std::vector<double> formed(n), fused(n);
        fft.Inverse(P.data(), formed.data());
        fft.InverseOfProduct(A.data(), B.data(), fused.data());
        ASSERT_EQ(fused, formed) << "N = " << n;
        EXPECT_EQ(A, keptA);
        EXPECT_EQ(B, keptB);
    }
}

// The inverse on its own, against the synthesis sum: a half spectrum with
// one bin k0 set to a gives x[j] = 2 Re(a exp(2 pi i j k0 / N)) (the bin and
// its mirror), bins 0 and N/2 give themselves once.
TEST(RealFFT, InverseSynthesisesCosinesFromSingleBins)
{
    const std::size_t n = 64;
    RealFFT fft;
    ASSERT_TRUE(fft.Prepare(n));
    std::vector<double> x(n);
    for (std::size_t k0 : {0u, 1u, 7u, 31u, 32u}) {
        std::vector<std::complex<double>> X(n / 2 + 1, std::complex<double>(0.0, 0.0));
        const std::complex<double> a(0.5, -0.25);
        X[k0] = a;
        fft.Inverse(X.data(), x.data());
        for (std::size_t j = 0; j < n; ++j) {
            const double ang = 2.0 * M_PI * static_cast<double>((j * k0) % n) / n;
            const std::complex<double> e(std::cos(ang), std::sin(ang));
            const double want = (k0 == 0 || k0 == n / 2) ? a.real() * e.real() : 2.0 * (a * e).real();
            EXPECT_NEAR(x[j], want, 16 * kEps) << k0 << " " << j;
        }
    }
}

TEST(RealFFT, IsLinear)
{
    const std::size_t n = 512;
    const std::vector<double> a = randomSignal(n, 11), b = randomSignal(n, 12);
    const double alpha = 0.3, beta = -2.5;
    std::vector<double> mix(n);
    for (std::size_t j = 0; j < n; ++j)
        mix[j] = alpha * a[j] + beta * b[j];
    RealFFT fft;
    ASSERT_TRUE(fft.Prepare(n));
    std::vector<std::complex<double>> A(n / 2 + 1), B(n / 2 + 1), M(n / 2 + 1);
    fft.Forward(a.data(), A.data());
    fft.Forward(b.data(), B.data());
    fft.Forward(mix.data(), M.data());
    for (std::size_t k = 0; k <= n / 2; ++k)
        EXPECT_LE(std::abs(M[k] - (alpha * A[k] + beta * B[k])), 64 * kEps * n) << k;
}

TEST(RealFFT, RefusesLengthsThatAreNotPowersOfTwo)
{
    RealFFT fft;
    for (std::size_t n : {0u, 1u, 3u, 6u, 12u, 1000u}) {
        EXPECT_FALSE(fft.Prepare(n)) << n;
        EXPECT_EQ(fft.Size(), 0u);
    }
    EXPECT_TRUE(fft.Prepare(16));
    EXPECT_EQ(fft.Size(), 16u);
    // A refused length leaves it unprepared rather than half-prepared.
    EXPECT_FALSE(fft.Prepare(24));
    EXPECT_EQ(fft.Size(), 0u);
}

namespace {

// Every length, both directions, on 256-bit registers (where the processor
// has them) and on SSE2: the same bits, so results never depend on the
// machine the model runs on.
TEST(RealFFT, WideAndBaselineRegistersGiveTheSameBits)
{
    for (std::size_t n = 2; n <= (std::size_t(1) << 15); n *= 2) {
        const std::vector<double> x = randomSignal(n, static_cast<unsigned>(n));
        std::vector<std::complex<double>> wide(n / 2 + 1), base(n / 2 + 1);
        std::vector<double> backWide(n), backBase(n);
        RealFFT f;
        ASSERT_TRUE(f.Prepare(n));
        RealFFT::UseWideRegisters(true);
        f.Forward(x.data(), wide.data());
        f.Inverse(wide.data(), backWide.data());
        RealFFT::UseWideRegisters(false);
        f.Forward(x.data(), base.data());
        f.Inverse(base.data(), backBase.data());
        RealFFT::UseWideRegisters(true);
        for (std::size_t k = 0; k <= n / 2; ++k) {
            ASSERT_EQ(wide[k].real(), base[k].real()) << n << " bin " << k;
            ASSERT_EQ(wide[k].imag(), base[k].imag()) << n << " bin " << k;
        }
        ASSERT_EQ(backWide, backBase) << n;
    }
}

}  // namespace

// An object on shared tables transforms as one that made its own, to the
// bit; it keeps them through a Prepare of their length, an unprepared
// source changes nothing, and a later length of its own leaves the source
// as it was.
TEST(RealFFT, SharedTablesGiveTheSameBits)
{
    auto transforms = [](RealFFT& f, const std::vector<double>& x) {
        std::vector<std::complex<double>> X(x.size() / 2 + 1);
        std::vector<double> y(x.size());
        f.Forward(x.data(), X.data());
        f.Inverse(X.data(), y.data());
        return std::make_pair(X, y);
    };
    for (std::size_t n : {2u, 8u, 1024u, 4096u}) {
        const std::vector<double> x = randomSignal(n, 40u + static_cast<unsigned>(n));
        RealFFT own, source, shared;
        ASSERT_TRUE(own.Prepare(n));
        ASSERT_TRUE(source.Prepare(n));
        shared.ShareTables(source);
        EXPECT_EQ(shared.Size(), n);
        const auto want = transforms(own, x);
        EXPECT_EQ(transforms(shared, x), want) << n;
        ASSERT_TRUE(shared.Prepare(n));
        EXPECT_EQ(transforms(shared, x), want) << n;

        RealFFT unprepared;
        shared.ShareTables(unprepared);
        EXPECT_EQ(shared.Size(), n);
        ASSERT_TRUE(shared.Prepare(2 * n));
        EXPECT_EQ(shared.Size(), 2 * n);
        EXPECT_EQ(transforms(source, x), want) << n;
    }
}

// Objects of every length prepared and used on several threads at once,
// while the shared tables of the short lengths are being made, give the bits
// of one object alone; an object prepared after the others of its length
// are gone still transforms correctly.
TEST(RealFFT, ObjectsOnManyThreadsGiveTheBitsOfOneAlone)
{
    const int lengths = 17;  // 2 ... 2^17: shared tables and tables of the object's own
    const int threads = 4;
    std::vector<std::vector<std::vector<double>>> got(threads, std::vector<std::vector<double>>(lengths));
    const auto run = [](int log2n, std::vector<double>& out) {
        const std::size_t n = std::size_t(1) << log2n;
        const std::vector<double> x = randomSignal(n, 70u + static_cast<unsigned>(log2n));
        RealFFT f;
        if (!f.Prepare(n))
            return;
        std::vector<std::complex<double>> X(n / 2 + 1);
        f.Forward(x.data(), X.data());
        out.resize(n);
        f.InverseOfProduct(X.data(), X.data(), out.data());
    };
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int k = 0; k < lengths; ++k)
                run((k + 3 * t) % lengths + 1, got[t][static_cast<std::size_t>((k + 3 * t) % lengths)]);
        });
    for (std::thread& t : pool)
        t.join();
    for (int k = 0; k < lengths; ++k) {
        std::vector<double> alone;
        run(k + 1, alone);
        ASSERT_EQ(alone.size(), std::size_t(1) << (k + 1));
        for (int t = 0; t < threads; ++t)
            ASSERT_EQ(got[t][static_cast<std::size_t>(k)], alone) << "thread " << t << ", length 2^" << k + 1;
    }
    // The inverse of a squared spectrum is N times the circular convolution
    // of x with itself: one length against the direct sum, long after every
    // other object of that length is gone.
    const std::size_t n = 64;
    const std::vector<double> x = randomSignal(n, 70u + 6u);
    std::vector<double> y;
    run(6, y);
    for (std::size_t t = 0; t < n; ++t) {
        double sum = 0.0;
        for (std::size_t i = 0; i < n; ++i)
            sum += x[i] * x[(t + n - i) % n];
        EXPECT_NEAR(y[t], static_cast<double>(n) * sum, 1e-12 * n * n) << t;
    }
}
