// BlockConvolver against a direct convolution loop: random and impulse
// inputs, lengths that are not multiples of the block, 1 to 2000 taps,
// several tap sets sharing one transformed block, and linearity.
#include "dsp/BlockConvolver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

using namespace Veltramodels20200612;

namespace {

std::vector<double> randomSignal(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> x(n);
    for (double& v : x)
        v = u(gen);
    return x;
}

// y[t] = sum_i h[i] x[t - i], t < outputs, x = 0 outside [0, |x|).
std::vector<double> direct(const std::vector<double>& x, const std::vector<double>& h, std::size_t outputs)
{
    std::vector<double> y(outputs, 0.0);
    for (std::size_t t = 0; t < outputs; ++t)
        for (std::size_t i = 0; i < h.size() && i <= t; ++i)
            if (t - i < x.size())
                y[t] += h[i] * x[t - i];
    return y;
}

// The error of an FFT convolution of one block is that of its three
// transforms: a few rounding units per stage, relative to the 2-norms of the
// block and the taps, so at most about c eps log2(N) |x|_2 |h|_2 per output.
// With |x|_2 <= sum|x| and |h|_2 <= sqrt(M) max|h|, M <= 2000 and N <= 2^14
// that is below 1e-12 sum|x| max|h| for any c up to about 10.
double tolerance(const std::vector<double>& x, const std::vector<double>& h)
{
    double sx = 0.0, mh = 0.0;
    for (double v : x)
        sx += std::fabs(v);
    for (double v : h)
        mh = std::max(mh, std::fabs(v));
    return 1e-12 * sx * mh;
}

double maxDifference(const std::vector<double>& a, const std::vector<double>& b)
{
    double worst = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i)
        worst = std::max(worst, std::fabs(a[i] - b[i]));
    return worst;
}

}  // namespace

TEST(BlockConvolver, MatchesDirectConvolutionForOneToTwoThousandTaps)
{
    for (std::size_t m : {1u, 2u, 3u, 17u, 100u, 396u, 427u, 1000u, 2000u}) {
        const std::vector<double> h = randomSignal(m, 100u + static_cast<unsigned>(m));
        BlockConvolver conv;
        ASSERT_TRUE(conv.SetTaps(h));
        ASSERT_GE(conv.BlockSize(), 1u);
        ASSERT_GE(conv.TransformSize(), 2 * m);
        EXPECT_EQ(conv.TransformSize() - conv.BlockSize() + 1, m);
        // Lengths below one block, exactly one, and more with a ragged end
        // (several blocks where the direct loop stays cheap).
        const std::size_t b = conv.BlockSize();
        for (std::size_t n : {std::size_t(1), b / 2 + 1, b, m <= 500 ? 3 * b + 7 : b + 7}) {
            const std::vector<double> x = randomSignal(n, static_cast<unsigned>(n + m));
            const std::size_t outputs = n + m - 1;
            std::vector<double> y(outputs, -7.0);
            conv.Convolve(0, x.data(), x.size(), y.data(), outputs);
            EXPECT_LE(maxDifference(y, direct(x, h, outputs)), tolerance(x, h))
                << "taps " << m << ", n " << n;
        }
    }
}

TEST(BlockConvolver, ImpulseInputGivesTheTapsAtTheImpulsePosition)
{
    const std::vector<double> h = randomSignal(250, 5);
    BlockConvolver conv;
    ASSERT_TRUE(conv.SetTaps(h));
    const std::size_t n = 2 * conv.BlockSize() + 31;
    // Impulses at the start, across a block boundary and at the very end.
    for (std::size_t at : {std::size_t(0), conv.BlockSize() - 3, n - 1}) {
        std::vector<double> x(n, 0.0);
        x[at] = 2.0;
        std::vector<double> y(n + h.size() - 1);
        conv.Convolve(0, x.data(), n, y.data(), y.size());
        for (std::size_t t = 0; t < y.size(); ++t) {
            const double want = (t >= at && t - at < h.size()) ? 2.0 * h[t - at] : 0.0;
            EXPECT_NEAR(y[t], want, 1e-13) << "impulse at " << at << ", t " << t;
        }
    }
}

// Outputs beyond the full convolution are zeros, and fewer outputs than the
// input is long are its prefix.
TEST(BlockConvolver, OutputCountIsFreeOfTheInputLength)
{
    const std::vector<double> h = randomSignal(40, 8);
    const std::vector<double> x = randomSignal(1000, 9);
    BlockConvolver conv;
    ASSERT_TRUE(conv.SetTaps(h));
    for (std::size_t outputs : {std::size_t(1), std::size_t(300), std::size_t(1000), std::size_t(1100)}) {
        std::vector<double> y(outputs);
        conv.Convolve(0, x.data(), x.size(), y.data(), outputs);
        EXPECT_LE(maxDifference(y, direct(x, h, outputs)), tolerance(x, h)) << outputs;
    }
}

// One transformed block serves every tap set: streaming blocks with
// LoadBlock/OutputBlock gives each set's own convolution, sets of different
// lengths in no order of length included (a shorter set after a longer one
// must not see the longer one's taps).
TEST(BlockConvolver, OneLoadedBlockServesSeveralTapSets)
{
    std::vector<std::vector<double>> sets;
    for (unsigned s = 0; s < 5; ++s)
        sets.push_back(randomSignal(60 + 37 * ((3 * s) % 5), 20 + s));  // 60, 171, 97, 208, 134
    const std::size_t longest = 208;
    BlockConvolver conv;
    ASSERT_TRUE(conv.SetTaps(sets));
    ASSERT_EQ(conv.TapSets(), 5u);
    EXPECT_EQ(conv.TransformSize() - conv.BlockSize() + 1, longest);

    const std::vector<double> x = randomSignal(5 * conv.BlockSize() + 123, 30);
    const std::size_t outputs = x.size() + longest - 1;
    const std::size_t b = conv.BlockSize();
    std::vector<std::vector<double>> y(sets.size(), std::vector<double>(((outputs + b - 1) / b) * b));
    conv.Restart();
    for (std::size_t start = 0; start < outputs; start += b) {
        const std::size_t in = start < x.size() ? std::min(b, x.size() - start) : 0;
        conv.LoadBlock(in > 0 ? x.data() + start : nullptr, in);
        for (std::size_t s = 0; s < sets.size(); ++s) {
            conv.OutputBlock(s, y[s].data() + start);
            // The same block computed in a window of the caller's, to the bit.
            std::vector<double> window(conv.TransformSize());
            const double* own = conv.OutputBlockIn(s, window.data());
            ASSERT_EQ(own, window.data() + (longest - 1));
            ASSERT_EQ(std::memcmp(own, y[s].data() + start, b * sizeof(double)), 0) << "set " << s;
        }
    }
    std::vector<double> window(conv.TransformSize());
    EXPECT_EQ(conv.OutputBlockIn(sets.size(), window.data()), nullptr);
    for (std::size_t s = 0; s < sets.size(); ++s) {
        y[s].resize(outputs);
        EXPECT_LE(maxDifference(y[s], direct(x, sets[s], outputs)), tolerance(x, sets[s])) << "set " << s;
    }
    // The other sets' outputs did not disturb the input: set 0 again, alone.
    std::vector<double> again(outputs);
    conv.Convolve(0, x.data(), x.size(), again.data(), outputs);
    EXPECT_LE(maxDifference(again, y[0]), tolerance(x, sets[0]));
}

// Tap spectra taken one at a time (SetTapLength, TapSpectrum, OutputIn), some
// of them between blocks, give SetTaps' blocks to the bit: the same transform
// and block, and the input window undisturbed by the tap spectra.
TEST(BlockConvolver, TapSpectraTakenOneAtATimeGiveTheSameBlocks)
{
    std::vector<std::vector<double>> sets;
    for (unsigned s = 0; s < 4; ++s)
        sets.push_back(randomSignal(90 - 20 * s, 40 + s));
    const std::vector<double> x = randomSignal(1500, 50);
    BlockConvolver all, one;
    ASSERT_TRUE(all.SetTaps(sets, x.size()));
    ASSERT_TRUE(one.SetTapLength(90, sets.size(), x.size()));
    ASSERT_EQ(one.TransformSize(), all.TransformSize());
    ASSERT_EQ(one.BlockSize(), all.BlockSize());
    EXPECT_EQ(one.TapSets(), 0u);
    const std::size_t b = all.BlockSize(), n = all.TransformSize();
    std::vector<std::vector<std::complex<double>>> spectra(sets.size(),
                                                           std::vector<std::complex<double>>(one.Bins()));
    std::vector<double> windowAll(n), windowOne(n);
    for (std::size_t start = 0, block = 0; start < x.size() + 90; start += b, ++block) {
        const std::size_t in = start < x.size() ? std::min(b, x.size() - start) : 0;
        all.LoadBlock(in > 0 ? x.data() + start : nullptr, in);
        one.LoadBlock(in > 0 ? x.data() + start : nullptr, in);
        // Set s's spectrum is taken after block s is loaded (all of them at
        // the first block for the last set).
        if (block < sets.size())
            one.TapSpectrum(sets[block], spectra[block].data());
        if (block == 0)
            one.TapSpectrum(sets.back(), spectra.back().data());
        for (std::size_t s = 0; s < sets.size() && s <= block; ++s) {
            const double* want = all.OutputBlockIn(s, windowAll.data());
            const double* got = one.OutputIn(one.LoadedSpectrum(), spectra[s].data(), windowOne.data());
            ASSERT_EQ(got, windowOne.data() + 89);
            ASSERT_EQ(std::memcmp(got, want, b * sizeof(double)), 0) << "block " << block << " set " << s;
        }
    }
    // Refused: no taps, no sets, taps longer than the longest.
    BlockConvolver refused;
    EXPECT_FALSE(refused.SetTapLength(0, 3));
    EXPECT_FALSE(refused.SetTapLength(10, 0));
    ASSERT_TRUE(refused.SetTapLength(10, 1));
    std::vector<std::complex<double>> spectrum(refused.Bins(), std::complex<double>(7.0, 7.0));
    refused.TapSpectrum(std::vector<double>(11, 1.0), spectrum.data());
    EXPECT_EQ(spectrum[0], std::complex<double>(7.0, 7.0));
}

TEST(BlockConvolver, IsLinearInTheInput)
{
    const std::vector<double> h = randomSignal(300, 40);
    const std::vector<double> a = randomSignal(5000, 41), b = randomSignal(5000, 42);
    std::vector<double> mix(a.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        mix[i] = 3.0 * a[i] - 0.5 * b[i];
    BlockConvolver conv;
    ASSERT_TRUE(conv.SetTaps(h));
    const std::size_t outputs = a.size() + h.size() - 1;
    std::vector<double> ya(outputs), yb(outputs), ym(outputs), combined(outputs);
    conv.Convolve(0, a.data(), a.size(), ya.data(), outputs);
    conv.Convolve(0, b.data(), b.size(), yb.data(), outputs);
    conv.Convolve(0, mix.data(), mix.size(), ym.data(), outputs);
    for (std::size_t i = 0; i < outputs; ++i)
        combined[i] = 3.0 * ya[i] - 0.5 * yb[i];
    EXPECT_LE(maxDifference(ym, combined), 4 * tolerance(mix, h));
}

TEST(BlockConvolver, RefusesMissingOrEmptyTaps)
{
    BlockConvolver conv;
    EXPECT_FALSE(conv.SetTaps(std::vector<double>()));
    EXPECT_FALSE(conv.SetTaps(std::vector<std::vector<double>>()));
    EXPECT_FALSE(conv.SetTaps(std::vector<std::vector<double>>{{1.0, 2.0}, {}}));
    EXPECT_EQ(conv.TapSets(), 0u);
    // Without taps nothing is written.
    std::vector<double> x(10, 1.0), y(10, -3.0);
    conv.Convolve(0, x.data(), x.size(), y.data(), y.size());
    EXPECT_EQ(y, std::vector<double>(10, -3.0));
    // A set index beyond the sets writes nothing either.
    ASSERT_TRUE(conv.SetTaps(std::vector<double>{0.5}));
    conv.Convolve(1, x.data(), x.size(), y.data(), y.size());
    EXPECT_EQ(y, std::vector<double>(10, -3.0));
}
