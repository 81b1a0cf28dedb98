// The bit-reversed-input entry of the FFT and the permuting product: the
// same numbers, bit for bit, as the plain transform and a product followed
// by the permutation, for short lengths (counter permutation) and long ones
// (cache-blocked permutation).
#include <gtest/gtest.h>

#include <complex>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "dsp/FFT.h"

using Veltramodels20200612::FFT;

namespace {

typedef std::vector<std::complex<double>> Vec;

bool sameBits(const Vec& a, const Vec& b)
{
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0);
}

Vec randomVector(std::mt19937_64& rng, size_t n, bool sparse)
{
    std::normal_distribution<double> g(0.0, 1.0);
    Vec v(n, std::complex<double>(0.0, 0.0));
    for (size_t i = 0; i < n; ++i) {
        if (sparse && i > n / 16)
            break;  // a short input padded with zeros
        v[i] = std::complex<double>(g(rng), sparse ? 0.0 : g(rng));
    }
    return v;
}

int log2Of(size_t n)
{
    int b = 0;
    while ((size_t(1) << b) < n)
        ++b;
    return b;
}

Vec permuted(const Vec& v)
{
    Vec r(v.size());
    const int bits = log2Of(v.size());
    for (size_t k = 0; k < v.size(); ++k)
        r[FFT::bitReversedIndex(k, bits)] = v[k];
    return r;
}

}  // namespace

TEST(FFTBitReversedTest, IndexReversesTheLowBits)
{
    EXPECT_EQ(FFT::bitReversedIndex(0, 0), 0u);
    EXPECT_EQ(FFT::bitReversedIndex(1, 3), 4u);
    EXPECT_EQ(FFT::bitReversedIndex(6, 3), 3u);
    EXPECT_EQ(FFT::bitReversedIndex(1, 21), size_t(1) << 20);
    EXPECT_EQ(FFT::bitReversedIndex(0x2d, 6), 0x2du);  // 101101 is a palindrome
}

TEST(FFTBitReversedTest, TransformOfPermutedInputEqualsThePlainTransform)
{
    std::mt19937_64 rng(5);
    for (size_t n : {size_t(1), size_t(2), size_t(8), size_t(1024), size_t(2048), size_t(4096),
                     size_t(1) << 13, size_t(1) << 16}) {
        for (int direction : {1, 0}) {
            for (bool sparse : {false, true}) {
                SCOPED_TRACE(testing::Message() << n << " " << direction << " " << sparse);
                const Vec x = randomVector(rng, n, sparse);
                Vec plain = x;
                FFT a;
                a.ComplexFFT(plain, direction);
                Vec viaPermuted = permuted(x);
                FFT b;
                b.ComplexFFTBitReversed(viaPermuted, direction);
                EXPECT_TRUE(sameBits(plain, viaPermuted));
            }
        }
    }
}

TEST(FFTBitReversedTest, PermutingProductEqualsProductThenPermutation)
{
    std::mt19937_64 rng(9);
    for (size_t n : {size_t(1), size_t(2), size_t(4), size_t(512), size_t(4096), size_t(1) << 15}) {
        SCOPED_TRACE(n);
        Vec a = randomVector(rng, n, false);
        const Vec b = randomVector(rng, n, false);
        Vec expected(n);
        for (size_t k = 0; k < n; ++k) {
            expected[k] = a[k];
            expected[k] *= b[k];
        }
        expected = permuted(expected);
        FFT::multiplyBitReversed(a, b);
        EXPECT_TRUE(sameBits(expected, a));
    }
}

TEST(FFTBitReversedTest, ConvolutionThroughThePermutedPathEqualsThePlainPath)
{
    // The order a convolution by transform uses: forward of a short input,
    // product with a kept spectrum, inverse.
    std::mt19937_64 rng(13);
    const size_t n = size_t(1) << 14;
    Vec h = randomVector(rng, n, true);
    FFT fft;
    fft.ComplexFFT(h, 1);
    const Vec x = randomVector(rng, n, true);

    Vec plain = x;
    fft.ComplexFFT(plain, 1);
    for (size_t k = 0; k < n; ++k)
        plain[k] *= h[k];
    fft.ComplexFFT(plain, 0);

    Vec fast = permuted(x);
    fft.ComplexFFTBitReversed(fast, 1);
    FFT::multiplyBitReversed(fast, h);
    fft.ComplexFFTBitReversed(fast, 0);
    EXPECT_TRUE(sameBits(plain, fast));
}

TEST(FFTBitReversedTest, InvalidLengthsAreLeftAlone)
{
    Vec v(3, std::complex<double>(1.0, 2.0));
    const Vec copy = v;
    FFT f;
    f.ComplexFFTBitReversed(v, 1);
    EXPECT_TRUE(sameBits(v, copy));
    FFT::multiplyBitReversed(v, copy);
    EXPECT_TRUE(sameBits(v, copy));
    Vec shorter(2, std::complex<double>(1.0, 0.0));
    Vec four(4, std::complex<double>(3.0, 0.0));
    const Vec fourCopy = four;
    FFT::multiplyBitReversed(four, shorter);  // mismatched lengths: untouched
    EXPECT_TRUE(sameBits(four, fourCopy));
}

TEST(FFTBitReversedTest, ShortRealInputTransformEqualsThePlainTransform)
{
    std::mt19937_64 rng(17);
    std::normal_distribution<double> g(0.0, 1.0);
    for (size_t n : {size_t(2), size_t(16), size_t(4096), size_t(1) << 13, size_t(1) << 17}) {
        for (size_t count : {size_t(1), size_t(2), size_t(3), size_t(77), size_t(400), n / 2, n}) {
            if (count > n)
                continue;
            for (int direction : {1, 0}) {
                for (int kind = 0; kind < 4; ++kind) {
                    SCOPED_TRACE(testing::Message() << n << " " << count << " " << direction << " " << kind);
                    std::vector<double> x(count);
                    for (double& v : x)
                        v = g(rng);
                    if (kind == 1 && count > 2)
                        x[1] = 0.0;  // +0 inside
                    if (kind == 2)
                        x[count - 1] = -0.0;  // -0: plain road
                    if (kind == 3 && count > 1)
                        x[count / 2] = std::numeric_limits<double>::infinity();
                    Vec plain(n, std::complex<double>(0.0, 0.0));
                    for (size_t j = 0; j < count; ++j)
                        plain[j] = std::complex<double>(x[j], 0.0);
                    FFT a;
                    a.ComplexFFT(plain, direction);
                    Vec fast(n, std::complex<double>(7.0, -7.0));  // stale contents are overwritten
                    FFT b;
                    b.ComplexFFTOfShortReal(x.data(), count, fast, direction);
                    if (kind == 3) {
                        // Non-finite input: the same NaN/inf pattern.
                        ASSERT_EQ(plain.size(), fast.size());
                        for (size_t k = 0; k < n; ++k) {
                            EXPECT_EQ(std::isnan(plain[k].real()), std::isnan(fast[k].real()));
                            EXPECT_EQ(std::isnan(plain[k].imag()), std::isnan(fast[k].imag()));
                        }
                    } else {
                        EXPECT_TRUE(sameBits(plain, fast));
                    }
                }
            }
        }
    }
}
