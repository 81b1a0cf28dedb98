// FIR::RunBlock against single Run calls: every output bit for bit and the
// filter's state afterwards, in direct form (where the block path sums
// several outputs side by side) and in FFT mode.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <vector>

#include "dsp/FIR.h"

using Veltramodels20200612::FIR;

namespace {

// Finite results bit for bit; a NaN must stay a NaN (its sign and payload
// depend on the operand order the compiler picks for an addition).
bool sameBits(double a, double b)
{
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

struct Pair {
    std::vector<double> taps;
    FIR single, block;
    std::stringstream m1, m2;
    Pair(const std::vector<double>& t, double initialValue, int enableFFT)
        : taps(t)
    {
        for (FIR* f : {&single, &block}) {
            f->Taps = &taps;
            f->InitialValue = initialValue;
            f->EnableFFT = enableFFT;
            f->QuietSetup = 1;
        }
        EXPECT_TRUE(single.Setup(nullptr, m1));
        EXPECT_TRUE(block.Setup(nullptr, m2));
        single.Initialize();
        block.Initialize();
    }
    // Feeds x through both, the block filter in pieces of the given sizes
    // (cycled), and compares every output bit for bit.
    void feed(const std::vector<double>& x, const std::vector<std::int64_t>& pieces)
    {
        std::vector<double> expected(x.size());
        for (size_t i = 0; i < x.size(); ++i) {
            single.Input = x[i];
            single.Run(m1);
            expected[i] = single.Output;
        }
        std::vector<double> got(x);  // in place, as the section uses it
        std::int64_t pos = 0;
        size_t p = 0;
        const std::int64_t total = static_cast<std::int64_t>(x.size());
        while (pos < total) {
            const std::int64_t len = std::min<std::int64_t>(pieces[p++ % pieces.size()], total - pos);
            if (len == 1 && p % 3 == 0) {
                // Single steps mixed with blocks.
                block.Input = got[pos];
                block.Run(m2);
                got[pos] = block.Output;
            } else {
                block.RunBlock(got.data() + pos, got.data() + pos, len, m2);
            }
            pos += len;
        }
        for (size_t i = 0; i < x.size(); ++i)
            ASSERT_TRUE(sameBits(expected[i], got[i]))
                << "sample " << i << ": " << expected[i] << " vs " << got[i];
        if (!x.empty()) {
            EXPECT_TRUE(sameBits(single.Output, block.Output));
            EXPECT_TRUE(sameBits(single.Input, block.Input));
        }
    }
};

std::vector<double> randomVector(std::mt19937_64& rng, size_t n, double zeroFraction)
{
    std::normal_distribution<double> g(0.0, 1.0);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> v(n);
    for (double& s : v)
        s = u(rng) < zeroFraction ? 0.0 : g(rng) * std::exp(4.0 * g(rng));
    return v;
}

}  // namespace

TEST(FIRRunBlockTest, DirectFormMatchesSingleStepsBitForBit)
{
    std::mt19937_64 rng(20240611);
    for (int trial = 0; trial < 200; ++trial) {
        const size_t nTaps = 1 + rng() % (trial % 4 == 0 ? 700 : 40);
        std::vector<double> taps = randomVector(rng, nTaps, 0.2);
        if (trial % 5 == 0)
            taps.back() = 0.0;  // trailing zero taps shorten NumTaps
        const double initial = (trial % 3 == 0) ? 0.25 * static_cast<double>(trial % 7) - 0.5 : 0.0;
        Pair f(taps, initial, 0);
        const size_t n = rng() % 9000;
        const std::vector<double> x = randomVector(rng, n, trial % 2 == 0 ? 0.5 : 0.0);
        f.feed(x, {static_cast<std::int64_t>(1 + rng() % 5000), 1, 7,
                   static_cast<std::int64_t>(1 + rng() % 30)});
        // And a second stretch after the first, continuing the same state.
        f.feed(randomVector(rng, rng() % 500, 0.1), {3, 1, 64});
    }
}

TEST(FIRRunBlockTest, NonFiniteTapsAndInputsPropagateAsInSingleSteps)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Pair f({1.0, inf, 0.5, nan, -2.0}, 0.0, 0);
    std::vector<double> x(100, 0.0);
    x[3] = 1.0;
    x[50] = -inf;
    f.feed(x, {9});
}

TEST(FIRRunBlockTest, FFTModeFallsBackToSingleSteps)
{
    std::mt19937_64 rng(7);
    Pair f(randomVector(rng, 37, 0.0), 0.0, 1);
    f.feed(randomVector(rng, 400, 0.3), {100, 1, 13});
}

TEST(FIRRunBlockTest, RestartAfterBlocksGivesTheSameAsAFreshFilter)
{
    std::mt19937_64 rng(11);
    const std::vector<double> taps = randomVector(rng, 50, 0.0);
    const std::vector<double> x = randomVector(rng, 300, 0.0);
    Pair f(taps, 0.0, 0);
    f.feed(x, {17});
    // Initialize restarts both; the block path must not keep old history.
    f.single.Initialize();
    f.block.Initialize();
    f.feed(x, {300});
}
