// SpanConvolution against a few-line direct loop: rounding-level agreement
// inside the span, exact zeros outside it, exact single products at its two
// ends (so a response trimmed by its zeros keeps the direct form's length and
// alignment), convolution in place, reuse of the kept spectrum across inputs
// of other lengths, and refusals.
#include "dsp/SpanConvolution.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

using namespace Veltramodels20200612;

namespace {

// y[t] = sum_i h[i] x[t - i] in ascending i from +0, for t < outputs.
std::vector<double> direct(const std::vector<double>& h, const std::vector<double>& x, std::size_t outputs)
{
    std::vector<double> y(outputs, 0.0);
    for (std::size_t t = 0; t < outputs; ++t) {
        double s = 0.0;
        for (std::size_t i = 0; i < h.size() && i <= t; ++i)
            if (t - i < x.size())
                s += h[i] * x[t - i];
        y[t] = s;
    }
    return y;
}

// Random samples with zeros before first and after last.
std::vector<double> padded(std::size_t zerosBefore, std::size_t n, std::size_t zerosAfter, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> v(zerosBefore, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        v.push_back(u(gen));
    v.insert(v.end(), zerosAfter, 0.0);
    return v;
}

void expectLikeDirect(const std::vector<double>& h, const std::vector<double>& x,
                      const std::vector<double>& y, std::size_t first, std::size_t last, const char* what)
{
    const std::vector<double> want = direct(h, x, y.size());
    double peak = 0.0;
    for (double v : want)
        peak = std::max(peak, std::fabs(v));
    for (std::size_t t = 0; t < y.size(); ++t) {
        if (t < first || t > last) {
            ASSERT_EQ(y[t], 0.0) << what << " t=" << t;
            ASSERT_FALSE(std::signbit(y[t])) << what << " t=" << t;
        } else if (t == first || t == last) {
            ASSERT_EQ(y[t], want[t]) << what << " end t=" << t;
        } else {
            ASSERT_NEAR(y[t], want[t], 1e-13 * peak) << what << " t=" << t;
        }
    }
}

TEST(SpanConvolution, AgreesWithTheDirectSumsAndKeepsTheirExactSamples)
{
    SpanConvolution conv;
    struct Case {
        std::size_t hBefore, hCount, hAfter, xBefore, xCount, xAfter;
    };
    const Case cases[] = {{0, 1, 0, 0, 50, 0},
                          {3, 40, 5, 17, 3000, 9},
                          {0, 400, 0, 0, 20000, 0},
                          {10, 7, 0, 0, 1, 0},
                          {0, 333, 2, 1000, 4097, 300}};
    unsigned seed = 1;
    for (const Case& c : cases) {
        const std::vector<double> h = padded(c.hBefore, c.hCount, c.hAfter, seed++);
        const std::vector<double> x = padded(c.xBefore, c.xCount, c.xAfter, seed++);
        std::vector<double> y(x.size() + h.size() + 3, 7.0);
        ASSERT_TRUE(conv.Convolve(h, x.data(), x.size(), y.data(), y.size()));
        expectLikeDirect(h, x, y, c.hBefore + c.xBefore, c.hBefore + c.hCount - 1 + c.xBefore + c.xCount - 1,
                         "full");
        // Cut short: the outputs stop inside the span, whose last one is then
        // an ordinary sum.
        std::vector<double> cut(c.xBefore + c.hBefore + c.xCount / 2 + 1, 7.0);
        ASSERT_TRUE(conv.Convolve(h, x.data(), x.size(), cut.data(), cut.size()));
        const std::vector<double> want = direct(h, x, cut.size());
        for (std::size_t t = 0; t < cut.size(); ++t)
            ASSERT_NEAR(cut[t], want[t], 1e-12) << "cut t=" << t;
    }
}

TEST(SpanConvolution, InPlaceEqualsSeparateOutput)
{
    SpanConvolution conv;
    const std::vector<double> h = padded(4, 250, 3, 11);
    const std::vector<double> x = padded(30, 9000, 0, 12);
    std::vector<double> separate(x.size() + h.size(), 0.0);
    ASSERT_TRUE(conv.Convolve(h, x.data(), x.size(), separate.data(), separate.size()));
    std::vector<double> inPlace(x);
    inPlace.resize(separate.size(), 0.0);
    ASSERT_TRUE(conv.Convolve(h, inPlace.data(), x.size(), inPlace.data(), inPlace.size()));
    EXPECT_EQ(inPlace, separate);
}

// The kept spectrum serves the next call with the same taps; other taps or
// another input length replace it, and each result is that of a fresh object.
TEST(SpanConvolution, KeptSpectrumServesOnlyTheSameTapsAndLength)
{
    SpanConvolution kept;
    const std::vector<double> h1 = padded(0, 120, 0, 21), h2 = padded(2, 90, 0, 22);
    const std::vector<double> xa = padded(0, 5000, 0, 23), xb = padded(5, 300, 0, 24);
    const std::vector<double>* hs[] = {&h1, &h1, &h2, &h2, &h1};
    const std::vector<double>* xs[] = {&xa, &xb, &xb, &xa, &xa};
    for (int k = 0; k < 5; ++k) {
        std::vector<double> a(xs[k]->size() + hs[k]->size()), b(a.size());
        ASSERT_TRUE(kept.Convolve(*hs[k], xs[k]->data(), xs[k]->size(), a.data(), a.size()));
        SpanConvolution fresh;
        ASSERT_TRUE(fresh.Convolve(*hs[k], xs[k]->data(), xs[k]->size(), b.data(), b.size()));
        EXPECT_EQ(a, b) << "call " << k;
    }
}

TEST(SpanConvolution, SilentInputsGiveZerosAndEmptyTapsAreRefused)
{
    SpanConvolution conv;
    std::vector<double> y(20, 5.0);
    const std::vector<double> zeros(10, 0.0), taps = {0.5, -1.0};
    ASSERT_TRUE(conv.Convolve(taps, zeros.data(), zeros.size(), y.data(), y.size()));
    EXPECT_EQ(y, std::vector<double>(20, 0.0));
    y.assign(20, 5.0);
    const std::vector<double> x = {1.0, 2.0};
    ASSERT_TRUE(conv.Convolve(std::vector<double>(3, 0.0), x.data(), x.size(), y.data(), y.size()));
    EXPECT_EQ(y, std::vector<double>(20, 0.0));
    y.assign(20, 5.0);
    EXPECT_FALSE(conv.Convolve(std::vector<double>(), x.data(), x.size(), y.data(), y.size()));
    EXPECT_EQ(y, std::vector<double>(20, 5.0));
}

}  // namespace
