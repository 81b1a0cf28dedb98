#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/InterpolateData.h"

using namespace Veltramodels20200612;

namespace {

// Holds the four vectors an InterpolateData works on. Not copyable: the
// interpolator keeps pointers to the members.
struct Rig {
    std::vector<double> x, y, out, grid;
    InterpolateData id;
    std::stringstream msg;

    Rig(std::vector<double> xs, std::vector<double> ys)
        : x(std::move(xs)),
          y(std::move(ys))
    {
        id.xData = &x;
        id.yData = &y;
        id.yOut = &out;
        id.x_Data = &grid;
    }
    Rig(const Rig&) = delete;

    // Resample on a given grid.
    bool onGrid(const std::vector<double>& X, int type, int step = 0)
    {
        grid = X;
        id.x_DataOption = 1;
        id.InterpolationType = type;
        id.StepData = step;
        if (!id.Setup(nullptr, msg))
            return false;
        return id.Initialize(msg);
    }
    // Resample on a generated grid.
    bool generated(double start, double stepSize, int n, int type)
    {
        id.x_DataOption = 0;
        id.x_Start = start;
        id.x_Step = stepSize;
        id.nPtsOut = n;
        id.InterpolationType = type;
        if (!id.Setup(nullptr, msg))
            return false;
        return id.Initialize(msg);
    }
};

std::vector<double> range(double a, double step, int n)
{
    std::vector<double> v(n);
    for (int i = 0; i < n; ++i)
        v[i] = a + step * i;
    return v;
}

double lagrangeRef(double t, const double* c, const double* g)
{
    double s = 0.0;
    for (int k = 0; k < 4; ++k) {
        double p = g[k];
        for (int j = 0; j < 4; ++j)
            if (j != k)
                p *= (t - c[j]) / (c[k] - c[j]);
        s += p;
    }
    return s;
}

// Cubic Hermite on [c1, c2] whose end slopes are the means of the adjacent
// secants, falling back to the linear value where it leaves [g1, g2].
double shapeCubicRef(double t, const double* c, const double* g)
{
    const double s01 = (g[1] - g[0]) / (c[1] - c[0]);
    const double s12 = (g[2] - g[1]) / (c[2] - c[1]);
    const double s23 = (g[3] - g[2]) / (c[3] - c[2]);
    const double m1 = 0.5 * (s01 + s12), m2 = 0.5 * (s12 + s23);
    const double d = c[2] - c[1], th = (t - c[1]) / d;
    const double th2 = th * th, th3 = th2 * th;
    const double H = (2 * th3 - 3 * th2 + 1) * g[1] + (th3 - 2 * th2 + th) * d * m1 +
                     (-2 * th3 + 3 * th2) * g[2] + (th3 - th2) * d * m2;
    const double lo = std::min(g[1], g[2]), hi = std::max(g[1], g[2]);
    if (H < lo || H > hi)
        return g[1] + (g[2] - g[1]) * th;
    return H;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

// ---------------------------------------------------------------- examples

TEST(InterpolateData, WorkedLinearExampleOnGeneratedGrid)
{
    Rig r({0, 1, 2, 3}, {0, 10, 20, 30});
    ASSERT_TRUE(r.generated(0.0, 0.5, 7, 0)) << r.msg.str();
    EXPECT_EQ(r.msg.str(), "");
    EXPECT_EQ(r.grid, (std::vector<double>{0, 0.5, 1, 1.5, 2, 2.5, 3}));
    EXPECT_EQ(r.out, (std::vector<double>{0, 5, 10, 15, 20, 25, 30}));
    // The data contain a zero, so the higher-order types fall back to linear.
    for (int type = 1; type <= 2; ++type) {
        Rig q({0, 1, 2, 3}, {0, 10, 20, 30});
        ASSERT_TRUE(q.generated(0.0, 0.5, 7, type));
        for (size_t i = 0; i < 7; ++i)
            EXPECT_DOUBLE_EQ(q.out[i], 5.0 * i) << type;
    }
}

TEST(InterpolateData, GridClampedToDataEndAndStartStepOverwritten)
{
    Rig r({0, 1, 2, 3}, {0, 10, 20, 30});
    // 0.0004 + 6 * 0.5 = 3.0004 lies within 0.001 steps of the end.
    ASSERT_TRUE(r.generated(0.0004, 0.5, 7, 0)) << r.msg.str();
    EXPECT_EQ(r.grid.back(), 3.0);
    EXPECT_EQ(r.grid[1], 0.5004);
    EXPECT_EQ(r.out.back(), 30.0);
    EXPECT_EQ(r.id.x_Start, 0.0004);
    EXPECT_EQ(r.id.x_Step, r.grid[1] - r.grid[0]);

    Rig one({0, 1, 2, 3}, {0, 10, 20, 30});
    ASSERT_TRUE(one.onGrid({2.5}, 0));
    EXPECT_EQ(one.out, std::vector<double>{25.0});
    EXPECT_EQ(one.id.x_Start, 2.5);
    EXPECT_EQ(one.id.x_Step, 2.5);  // one point: the step takes the point itself
}

TEST(InterpolateData, FirstAbscissaCopiesFirstValueExactly)
{
    const double x0 = 1e-9;
    std::vector<double> x = range(x0, 2.44e-12, 6);
    std::vector<double> y = {0.123456789, 0.2, 0.31, 0.4, 0.45, 0.5};
    for (int logx = 0; logx <= 1; ++logx) {
        for (int type = 0; type <= 2; ++type) {
            Rig r(x, y);
            r.id.UseLogX = logx;
            ASSERT_TRUE(r.onGrid({x0, x0 + 1e-12, x0 + 3e-12}, type)) << r.msg.str();
            EXPECT_EQ(r.out[0], 0.123456789) << "log " << logx << " type " << type;
            EXPECT_TRUE(std::isfinite(r.out[1]));
        }
    }
}

TEST(InterpolateData, CallerAbscissasUnchangedBitForBit)
{
    std::vector<double> x = {0.1, 0.7, 1.3, 2.9, 3.3, 4.1};  // not exactly representable
    std::vector<double> y = {1.0, 1.5, 1.7, 2.0, 2.2, 2.3};
    for (int logx = 0; logx <= 1; ++logx) {
        for (int type = 0; type <= 2; ++type) {
            Rig r(x, y);
            r.id.UseLogX = logx;
            r.id.DifferentiateData = 1;
            ASSERT_TRUE(r.onGrid(range(0.1, 0.37, 11), type)) << r.msg.str();
            EXPECT_EQ(0, std::memcmp(r.x.data(), x.data(), x.size() * sizeof(double)));
            EXPECT_EQ(r.y, y);
        }
    }
}

// ------------------------------------------------------ ends of the data

TEST(InterpolateData, StepDataRampsFromZeroBeforeStartAndHoldsAfterEnd)
{
    Rig r({0, 1, 2, 3}, {2, 3, 4, 5});
    ASSERT_TRUE(r.onGrid({-3.0, -1.5, -1.0, -0.5, 0.0, 0.25, 2.5, 3.0, 3.0000001, 4.0}, 0, 1));
    EXPECT_EQ(r.out, (std::vector<double>{0, 0, 0, 1, 2, 2.25, 4.5, 5, 5, 5}));

    // Without StepData the line through the first two points continues.
    Rig n({0, 1, 2, 3}, {2, 3, 4, 5});
    ASSERT_TRUE(n.onGrid({-1.0, -0.5, 0.0, 3.5}, 0, 0));
    EXPECT_EQ(n.out, (std::vector<double>{1, 1.5, 2, 5}));
}

TEST(InterpolateData, CoarseGridPastTheEndHoldsLastValue)
{
    Rig r({0, 1, 2, 3, 4}, {2, 3, 4, 5, 6});
    ASSERT_TRUE(r.onGrid({0.5, 10.0, 20.0}, 0));
    EXPECT_EQ(r.out, (std::vector<double>{2.5, 6, 6}));
}

TEST(InterpolateData, NonAscendingGridMatchesPointByPoint)
{
    std::vector<double> x = {0, 1, 2.5, 3, 4.5, 6, 7};
    std::vector<double> y = {10, 11, 13, 14, 15, 17, 18};
    const std::vector<double> X = {5.2, 0.5, 3.7, 3.7, 1.2, 6.9, 2.0};
    for (int type = 0; type <= 2; ++type) {
        Rig all(x, y);
        ASSERT_TRUE(all.onGrid(X, type));
        for (size_t j = 0; j < X.size(); ++j) {
            Rig single(x, y);
            ASSERT_TRUE(single.onGrid({X[j]}, type));
            EXPECT_DOUBLE_EQ(all.out[j], single.out[0]) << "type " << type << " j " << j;
        }
    }
}

// --------------------------------------------- exactness and method choice

TEST(InterpolateData, LinearIsExactOnLinesOverWholeRange)
{
    std::vector<double> x = {0, 0.3, 1.1, 1.2, 2.7, 4.0};
    std::vector<double> y(x.size());
    for (size_t i = 0; i < x.size(); ++i)
        y[i] = 3.0 - 1.75 * x[i];
    Rig r(x, y);
    const std::vector<double> X = range(-0.5, 0.173, 27);  // starts before the data
    ASSERT_TRUE(r.onGrid(X, 0));
    for (size_t j = 0; j < X.size(); ++j)
        EXPECT_NEAR(r.out[j], 3.0 - 1.75 * X[j], 1e-12) << X[j];
}

TEST(InterpolateData, LagrangeIsExactOnCubicsInTheInterior)
{
    auto f = [](double x) { return 10 + x + 0.1 * x * x + 0.01 * x * x * x; };
    std::vector<std::vector<double>> grids = {range(0, 1, 11), {0, 0.4, 1.5, 2.0, 3.1, 3.5, 4.8, 6.0}};
    for (const auto& x : grids) {
        std::vector<double> y(x.size());
        for (size_t i = 0; i < x.size(); ++i)
            y[i] = f(x[i]);
        Rig r(x, y);
        // Interior intervals: from x[1] to x[n-2].
        const std::vector<double> X = range(x[1] + 0.01, 0.05, int((x[x.size() - 2] - x[1]) / 0.05) - 1);
        ASSERT_TRUE(r.onGrid(X, 2));
        for (size_t j = 0; j < X.size(); ++j)
            EXPECT_NEAR(r.out[j], f(X[j]), 1e-12 * f(X[j])) << X[j];
    }
}

TEST(InterpolateData, CubicIsExactOnQuadraticsOnEvenGrid)
{
    auto f = [](double x) { return 10 + 2 * x + 0.3 * x * x; };
    std::vector<double> x = range(0, 0.5, 13), y(x.size());
    for (size_t i = 0; i < x.size(); ++i)
        y[i] = f(x[i]);
    Rig r(x, y);
    const std::vector<double> X = range(0.51, 0.07, 70);  // up to 5.34 < x[11] = 5.5
    ASSERT_TRUE(r.onGrid(X, 1));
    for (size_t j = 0; j < X.size(); ++j)
        EXPECT_NEAR(r.out[j], f(X[j]), 1e-11 * f(X[j])) << X[j];
}

TEST(InterpolateData, CubicMatchesIndependentShapePreservingReference)
{
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> dx(0.2, 1.5), dy(0.0, 5.0);
    std::vector<double> x(15), y(15);
    double acc = -2.0;
    for (size_t i = 0; i < x.size(); ++i) {
        acc += dx(gen);
        x[i] = acc;
        y[i] = 10.0 + dy(gen);  // no zeros, neighbours within a factor 2
    }
    Rig r(x, y);
    const std::vector<double> X = range(x[1] + 1e-3, (x[13] - x[1]) / 400.0, 399);
    ASSERT_TRUE(r.onGrid(X, 1));
    size_t h = 2;
    int fallbacks = 0;
    for (size_t j = 0; j < X.size(); ++j) {
        while (x[h] < X[j])
            ++h;
        const double c[4] = {x[h - 2], x[h - 1], x[h], x[h + 1]};
        const double g[4] = {y[h - 2], y[h - 1], y[h], y[h + 1]};
        const double ref = shapeCubicRef(X[j], c, g);
        if (ref == g[1] + (g[2] - g[1]) * (X[j] - c[1]) / (c[2] - c[1]))
            ++fallbacks;
        EXPECT_NEAR(r.out[j], ref, 1e-9) << X[j];
    }
    EXPECT_GT(fallbacks, 0);  // the data do make the cubic overshoot somewhere
    EXPECT_LT(fallbacks, 399);
}

TEST(InterpolateData, CubicOvershootFallsBackToLinear)
{
    // Interval (1, 2) rises only 1 while its neighbours rise 9 and 18: the
    // end slopes 5 and 9.5 make the cubic dip below 19 in the middle.
    Rig r({0, 1, 2, 3, 4, 5}, {10, 19, 20, 38, 39, 40});
    ASSERT_TRUE(r.onGrid({1.1, 1.5}, 1));
    EXPECT_NEAR(r.out[0], 19.3475, 1e-12);  // the cubic, inside [19, 20]
    EXPECT_DOUBLE_EQ(r.out[1], 19.5);       // the cubic would give 18.9375
}

TEST(InterpolateData, CubicCoefficientsReusedWithinOneInterval)
{
    std::vector<double> x = range(0, 1, 8), y = {10, 11, 13, 14, 16, 17, 18, 20};
    Rig r(x, y);
    ASSERT_TRUE(r.onGrid(range(2.05, 0.09, 10), 1));  // all inside (2, 3)
    EXPECT_EQ(r.id.Fit.ThirdOrderCoefficients_2PointCalls, 1);
    Rig s(x, y);
    ASSERT_TRUE(s.onGrid(range(2.05, 0.3, 10), 1));  // spans (2, 3), (3, 4), (4, 5)
    EXPECT_EQ(s.id.Fit.ThirdOrderCoefficients_2PointCalls, 3);
}

TEST(InterpolateData, ZerosAndJumpsGiveTheLinearValue)
{
    const std::vector<double> x = range(0, 1, 6);
    // Ratio 3 between the first two points of the stencil of (1, 2).
    const std::vector<double> jump = {1, 3, 4, 5, 6, 7};
    // A zero in the stencil of (2, 3).
    const std::vector<double> zero = {5, 6, 7, 8, 0, 9};
    for (int type = 1; type <= 2; ++type) {
        Rig a(x, jump);
        ASSERT_TRUE(a.onGrid({1.5, 1.25}, type));
        EXPECT_DOUBLE_EQ(a.out[0], 3.5);
        EXPECT_DOUBLE_EQ(a.out[1], 3.25);
        Rig b(x, zero);
        ASSERT_TRUE(b.onGrid({2.5}, type));
        EXPECT_DOUBLE_EQ(b.out[0], 7.5);
    }
}

TEST(InterpolateData, LagrangeSpreadOverSixDecadesGivesLinear)
{
    Rig wide({1, 2, 3, 2000001}, {10, 11, 13, 14});
    ASSERT_TRUE(wide.onGrid({2.5}, 2));
    EXPECT_DOUBLE_EQ(wide.out[0], 12.0);

    // The same values on a compact axis do take the Lagrange value.
    Rig narrow({1, 2, 3, 5}, {10, 11, 13, 14});
    ASSERT_TRUE(narrow.onGrid({2.5}, 2));
    const double c[4] = {0, 1, 2, 4}, g[4] = {10, 11, 13, 14};
    const double ref = lagrangeRef(1.5, c, g);
    EXPECT_NEAR(narrow.out[0], ref, 1e-12);
    EXPECT_GT(std::fabs(ref - 12.0), 0.03);  // 12.03125

    // Exactly six decades (distances 1 to 1e6) is not more than six: the
    // Lagrange value; one more unit of spread is: the linear value.
    const double g6[4] = {10, 11, 13, 14};
    Rig six({1, 2, 3, 1000001}, {10, 11, 13, 14});
    ASSERT_TRUE(six.onGrid({2.5}, 2));
    const double c6[4] = {0, 1, 2, 1000000};
    EXPECT_NEAR(six.out[0], lagrangeRef(1.5, c6, g6), 1e-9);
    EXPECT_GT(std::fabs(six.out[0] - 12.0), 0.01);
    Rig over({1, 2, 3, 1000002}, {10, 11, 13, 14});
    ASSERT_TRUE(over.onGrid({2.5}, 2));
    EXPECT_DOUBLE_EQ(over.out[0], 12.0);
}

// Long data, where the intervals are sorted out two at a time: every
// interior interval takes the Lagrange value unless its stencil spreads over
// more than six decades (exactly six does not) or would ring, as a plain
// reading of the rule decides it point by point, in either position of a
// pair of intervals.
TEST(InterpolateData, EveryIntervalOfLongDataFollowsTheRule)
{
    for (int lead = 0; lead < 2; ++lead) {
        std::vector<double> x;
        for (int i = 0; i < lead; ++i)
            x.push_back(-1.0 - i);
        std::sort(x.begin(), x.end());
        for (double v : {0.0, 1.0, 2.0, 3.0, 1000001.0, 1000002.0, 1000003.0, 1000004.0, 5000000.0, 5000001.0,
                         5000002.0, 5000003.0, 5000004.0, 5000005.0, 5000006.0, 5000007.0})
            x.push_back(v);
        std::vector<double> y;
        for (std::size_t i = 0; i < x.size(); ++i)
            y.push_back(10.0 + static_cast<double>(i) + 0.3 * static_cast<double>(i * i));
        y[x.size() - 5] = 2.5 * y[x.size() - 6];  // a jump: those stencils ring
        std::vector<double> grid;
        for (std::size_t h = 2; h + 2 < x.size(); ++h)
            for (double f : {0.25, 0.5, 0.875})
                grid.push_back(x[h - 1] + f * (x[h] - x[h - 1]));
        Rig r(x, y);
        ASSERT_TRUE(r.onGrid(grid, 2)) << r.msg.str();
        std::size_t at = 0;
        int lagrange = 0, linear = 0;
        for (std::size_t h = 2; h + 2 < x.size(); ++h) {
            double c[4], g[4];
            for (int k = 0; k < 4; ++k) {
                c[k] = x[h - 2 + k] - x[0];
                g[k] = y[h - 2 + k];
            }
            double lo = 1e300, hi = 0.0;
            for (int p = 0; p < 4; ++p)
                for (int q = p + 1; q < 4; ++q) {
                    lo = std::min(lo, std::fabs(c[p] - c[q]));
                    hi = std::max(hi, std::fabs(c[p] - c[q]));
                }
            const bool spread = std::log10(hi) - std::log10(lo) > 6.0;
            const bool rings =
                g[1] / g[0] > 2.0 || g[0] / g[1] > 2.0 || g[2] / g[3] > 2.0 || g[3] / g[2] > 2.0;
            for (int k = 0; k < 3; ++k, ++at) {
                const double t = grid[at] - x[0];
                const double want = spread || rings ? g[1] + (g[2] - g[1]) * (t - c[1]) / (c[2] - c[1])
                                                    : lagrangeRef(t, c, g);
                ASSERT_NEAR(r.out[at], want, 1e-9 * std::fabs(want)) << "interval " << h << ", lead " << lead;
                (spread || rings ? linear : lagrange) += 1;
            }
        }
        // Both forms occur, so that a wrong choice shows.
        EXPECT_GT(lagrange, 0);
        EXPECT_GT(linear, 0);
    }
}

TEST(InterpolateData, LogAbscissaIsExactForLogarithmicData)
{
    const double x0 = 3.0;
    std::vector<double> x = {0, 1, 2, 4, 8, 16}, y(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        x[i] += x0;
        y[i] = (i == 0) ? 1.0 : 5.0 + 2.0 * std::log(x[i] - x0);
    }
    Rig r(x, y);
    r.id.UseLogX = 1;
    const std::vector<double> X = {x0 + 1.5, x0 + 3.0, x0 + 5.0, x0 + 10.0, x0 + 15.0};
    ASSERT_TRUE(r.onGrid(X, 0));
    for (size_t j = 0; j < X.size(); ++j)
        EXPECT_NEAR(r.out[j], 5.0 + 2.0 * std::log(X[j] - x0), 1e-12) << X[j];
    EXPECT_DOUBLE_EQ(r.id.LogReference, 1.0 / 2.718281828459045);  // min(1, step 1.5) / e
}

// ------------------------------------------ differencing, normalisation

TEST(InterpolateData, DifferencingWithoutStepDataIsPlain)
{
    Rig r({0, 1, 2, 3}, {0, 10, 20, 30});
    r.id.DifferentiateData = 1;
    r.id.ScaleForFinalValue = 1;  // has no effect without StepData
    ASSERT_TRUE(r.generated(0.0, 0.5, 7, 0));
    EXPECT_EQ(r.out, (std::vector<double>{0, 5, 5, 5, 5, 5, 5}));
}

TEST(InterpolateData, DifferentiatedStepSumsToItsRise)
{
    // A smooth step sampled on an uneven axis; the grid stops short of the
    // end, so the raw differences do not sum to the final value by themselves.
    std::vector<double> x, y;
    for (double t = 0; t <= 10.0; t += 0.37 + 0.05 * std::sin(t)) {
        x.push_back(t);
        y.push_back(1.7 * (1.0 - std::exp(-t / 1.3)));
    }
    const double rise = y.back();
    for (int type = 0; type <= 2; ++type) {
        for (int perStep = 0; perStep <= 1; ++perStep) {
            Rig r(x, y);
            r.id.DifferentiateData = 1;
            r.id.StepData = 1;
            r.id.ScaleForFinalValue = 1;
            r.id.ScaleByOneOverXStep = perStep;
            ASSERT_TRUE(r.generated(0.0, 0.1, int(x.back() / 0.1) - 3, type)) << r.msg.str();
            EXPECT_EQ(r.out[0], 0.0);
            double sum = 0;
            for (double v : r.out)
                sum += v;
            EXPECT_NEAR(perStep ? sum * r.id.x_Step : sum, rise, 1e-12) << type;
            // Each difference is about the slope (linear: a data secant's).
            EXPECT_NEAR(r.out[20] * (perStep ? 1.0 : 1.0 / 0.1), 1.7 / 1.3 * std::exp(-1.95 / 1.3),
                        type == 0 ? 0.05 : 0.01);
        }
    }
    Rig unit(x, y);
    unit.id.DifferentiateData = 1;
    unit.id.StepData = 1;
    unit.id.ScaleForFinalValue = 0;
    ASSERT_TRUE(unit.generated(0.0, 0.1, 50, 0));
    double sum = 0;
    for (double v : unit.out)
        sum += v;
    EXPECT_NEAR(sum, 1.0, 1e-12);
}

TEST(InterpolateData, StepWithoutRiseGivesZerosNotNaN)
{
    Rig r({0, 1, 2, 3, 4}, {0, 0, 0, 0, 0});
    r.id.DifferentiateData = 1;
    r.id.StepData = 1;
    r.id.ScaleForFinalValue = 1;
    ASSERT_TRUE(r.generated(0.0, 0.5, 8, 2));
    EXPECT_EQ(r.out, std::vector<double>(8, 0.0));
}

// ------------------------------------------------------------ messages

TEST(InterpolateData, SetupReportsEveryFaultInOrder)
{
    Rig r({0, 1, 2, 3, 4}, {0, 1, 2});
    r.id.x_Step = -1.0;
    r.id.x_Start = -1.0;
    r.id.nPtsOut = 0;
    r.id.UseLogX = 2;
    r.id.InterpolationType = 3;
    r.id.DifferentiateData = -1;
    r.id.StepData = 5;
    EXPECT_FALSE(r.id.Setup(nullptr, r.msg));
    EXPECT_EQ(r.msg.str(), "yData array size must be >= 4.\n"
                           "xData array and yData array must have the same size.\n"
                           "x_Step must be > 0.\n"
                           "x_Start must be >= xData[0].\n"
                           "nPtsOut must be an integer > 0.\n"
                           "UseLogX must be an integer in the range [0,1].\n"
                           "InterpolationType must be an integer in the range [0,2].\n"
                           "DifferentiateData must be an integer in the range [0,1].\n"
                           "StepData must be an integer in the range [0,1].\n");
}

TEST(InterpolateData, SetupScaleChecksOnlyForGeneratedDifferencedSteps)
{
    Rig r({0, 1, 1, 2}, {0, 1, 2, 3});  // also not ascending: not reported after a failure
    r.id.nPtsOut = 2;
    r.id.DifferentiateData = 1;
    r.id.StepData = 1;
    r.id.ScaleByOneOverXStep = 2;
    r.id.ScaleForFinalValue = -1;
    EXPECT_FALSE(r.id.Setup(nullptr, r.msg));
    EXPECT_EQ(r.msg.str(), "ScaleByOneOverXStep must be an integer in the range [0,1].\n"
                           "ScaleForFinalValue must be an integer in the range [0,1].\n");

    Rig s({0, 1, 2, 3}, {0, 1, 2, 3});
    s.id.nPtsOut = 2;
    s.id.DifferentiateData = 1;
    s.id.StepData = 0;
    s.id.ScaleByOneOverXStep = 2;
    s.id.ScaleForFinalValue = -1;
    EXPECT_TRUE(s.id.Setup(nullptr, s.msg));
    EXPECT_EQ(s.msg.str(), "");
}

TEST(InterpolateData, SetupOptionChecks)
{
    Rig bad({0, 1, 2, 3}, {0, 1, 2, 3});
    bad.id.x_DataOption = 2;
    bad.id.x_Step = -1.0;  // only checked for generated grids
    EXPECT_FALSE(bad.id.Setup(nullptr, bad.msg));
    EXPECT_EQ(bad.msg.str(), "x_DataOption must be an integer in the range [0,1].\n");

    Rig neg({0, 1, 2, 3}, {0, 1, 2, 3});
    neg.id.x_DataOption = -1;
    neg.id.nPtsOut = 1;
    EXPECT_FALSE(neg.id.Setup(nullptr, neg.msg));
    EXPECT_EQ(neg.msg.str(), "x_DataOption must be an integer in the range [0,1].\n");

    Rig empty({0, 1, 2, 3}, {0, 1, 2, 3});
    empty.id.x_DataOption = 1;
    empty.id.x_Step = -1.0;
    EXPECT_FALSE(empty.id.Setup(nullptr, empty.msg));
    EXPECT_EQ(empty.msg.str(), "x_Data array size must be > 0.\n");

    Rig over({0, 1, 2, 3}, {0, 1, 2, 3});
    over.id.x_Step = 0.5;
    over.id.nPtsOut = 8;  // 3.5 > 3 + 0.0005
    EXPECT_FALSE(over.id.Setup(nullptr, over.msg));
    EXPECT_EQ(over.msg.str(), "x_Start + double(nPtsOut-1)*x_Step > xData[0][ int(xData.size()) - 1].\n");

    Rig nan({0, 1, 2, 3}, {0, 1, 2, 3});
    nan.id.x_Step = std::numeric_limits<double>::quiet_NaN();
    nan.id.x_Start = std::numeric_limits<double>::quiet_NaN();
    nan.id.nPtsOut = 2;
    EXPECT_FALSE(nan.id.Setup(nullptr, nan.msg));
    EXPECT_EQ(nan.msg.str(), "x_Step must be > 0.\nx_Start must be >= xData[0].\n");
}

TEST(InterpolateData, SetupAscendingOrderMessage)
{
    Rig r({0, 1, 1, 2}, {0, 1, 2, 3});
    r.id.nPtsOut = 2;
    EXPECT_FALSE(r.id.Setup(nullptr, r.msg));
    EXPECT_EQ(r.msg.str(),
              "xData[3] = 1  <= xData[2] = 1. X-axis data must be in non-repeating ascending order.");

    Rig d({0, 1, 2.5, 2, 3}, {0, 1, 2, 3, 4});
    d.id.nPtsOut = 2;
    EXPECT_FALSE(d.id.Setup(nullptr, d.msg));
    EXPECT_EQ(d.msg.str(),
              "xData[4] = 2  <= xData[3] = 2.5. X-axis data must be in non-repeating ascending order.");

    Rig n({0, 1, std::numeric_limits<double>::quiet_NaN(), 3}, {0, 1, 2, 3});
    n.id.nPtsOut = 2;
    EXPECT_FALSE(n.id.Setup(nullptr, n.msg));
    EXPECT_EQ(n.msg.str(),
              "xData[3] = nan  <= xData[2] = 1. X-axis data must be in non-repeating ascending order.");

    // An invalid StepData ends Setup before the order check.
    Rig s({0, 1, 1, 2}, {0, 1, 2, 3});
    s.id.nPtsOut = 2;
    s.id.StepData = -1;
    EXPECT_FALSE(s.id.Setup(nullptr, s.msg));
    EXPECT_EQ(s.msg.str(), "StepData must be an integer in the range [0,1].\n");
}

TEST(InterpolateData, MissingVectorsAreReportedNotDereferenced)
{
    InterpolateData id;
    std::stringstream msg;
    id.nPtsOut = 1;
    EXPECT_FALSE(id.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "yData array size must be >= 4.\n"
                         "xData array size must be >= 4.\n"
                         "yOut must not be a null pointer.\n"
                         "x_Data must not be a null pointer.\n");
    msg.str("");
    EXPECT_FALSE(id.Initialize(msg));
    EXPECT_EQ(msg.str(), "x_Data must not be a null pointer.\n");

    // Too few points handed straight to the core.
    std::vector<double> x = {0, 1}, y = {0, 1}, out, X = {0.5};
    id.xData = &x;
    id.yData = &y;
    id.yOut = &out;
    msg.str("");
    EXPECT_FALSE(id.DoInterpolation(X, msg));
    EXPECT_EQ(msg.str(), "yData array size must be >= 4.\nxData array size must be >= 4.\n");
}

TEST(InterpolateData, EmptyOutputGridGivesEmptyResult)
{
    Rig r({0, 1, 2, 3}, {0, 1, 2, 3});
    r.out = {7, 7};
    std::vector<double> X;
    EXPECT_TRUE(r.id.DoInterpolation(X, r.msg));
    EXPECT_TRUE(r.out.empty());
}

TEST(InterpolateData, UseFileLineWrittenOnce)
{
    const std::string path = ::testing::TempDir() + "interpolatedata_use_file.txt";
    {
        std::ofstream log(path);
        Rig r({0, 1, 2, 3}, {0, 1, 2, 3});
        r.id.nPtsOut = 3;
        ASSERT_TRUE(r.id.Setup(&log, r.msg));
        ASSERT_TRUE(r.id.Setup(&log, r.msg));
        EXPECT_EQ(r.id.UseFile, &log);
    }
    EXPECT_EQ(readFile(path), "Veltramodels20200612::InterpolateData\n");
    std::remove(path.c_str());
}

// In the last interval the stencil's fourth point lies one interval past the
// end. Step data hold their final value there, (5, 4) for these points;
// other data continue the last line, (5, 4.5), which makes both higher-order
// forms collapse to the linear value. Hand-derived at t = 3.5 from the
// stencil (2, 3), (3, 3.5), (4, 4), (5, g3): Lagrange weights -1/16, 9/16,
// 9/16, -1/16; the shape-preserving cubic has end slopes 1/2 and (1/2 + s)/2
// with s the slope of the last secant (0 or 1/2), and at the midpoint adds
// (m1 - m2)/8 to the linear value.
TEST(InterpolateData, FourthStencilPointInTheLastInterval)
{
    const std::vector<double> xs{0, 1, 2, 3, 4}, ys{1, 2, 3, 3.5, 4};
    const double c[4] = {2, 3, 4, 5};
    const double hold[4] = {3, 3.5, 4, 4}, extend[4] = {3, 3.5, 4, 4.5};
    for (int type = 1; type <= 2; ++type) {
        SCOPED_TRACE(type == 1 ? "cubic" : "Lagrange");
        Rig step(xs, ys);
        ASSERT_TRUE(step.onGrid({0.0, 3.5}, type, 1)) << step.msg.str();
        EXPECT_NEAR(step.out[1], 3.78125, 1e-12);
        EXPECT_NEAR(step.out[1], type == 2 ? lagrangeRef(3.5, c, hold) : shapeCubicRef(3.5, c, hold), 1e-12);

        Rig plain(xs, ys);
        ASSERT_TRUE(plain.onGrid({0.0, 3.5}, type, 0)) << plain.msg.str();
        EXPECT_NEAR(plain.out[1], 3.75, 1e-12);
        EXPECT_NEAR(plain.out[1], type == 2 ? lagrangeRef(3.5, c, extend) : shapeCubicRef(3.5, c, extend),
                    1e-12);
    }
}

// ------------------------------------------------ one object, many data sets

namespace {

// The settings of one interpolation and the grid it runs on.
struct Settings {
    int option = 0;  // x_DataOption
    std::vector<double> grid;
    double start = 0.0, step = 0.0;
    int points = 0;
    int type = 2, logX = 0, stepData = 1, differentiate = 1;
};

struct Outcome {
    bool ok = false;
    std::vector<double> out, grid;
    double start = 0.0, step = 0.0;
    long long lagrangeCalls = 0, cubicCalls = 0;
    std::string msg;
};

Outcome runOn(InterpolateData& id, std::vector<double>& grid, std::vector<double>& out, const Settings& s)
{
    id.x_DataOption = s.option;
    if (s.option == 1)
        grid = s.grid;
    id.x_Start = s.start;
    id.x_Step = s.step;
    id.nPtsOut = s.points;
    id.InterpolationType = s.type;
    id.UseLogX = s.logX;
    id.StepData = s.stepData;
    id.DifferentiateData = s.differentiate;
    id.ScaleForFinalValue = 1;
    const long long lagrange = id.Fit.LagrangeInterpolation_4PointCalls;
    const long long cubic = id.Fit.ThirdOrderCoefficients_2PointCalls;
    std::stringstream msg;
    Outcome o;
    o.ok = id.Setup(nullptr, msg) && id.Initialize(msg);
    o.out = out;
    o.grid = grid;
    o.start = id.x_Start;
    o.step = id.x_Step;
    o.lagrangeCalls = id.Fit.LagrangeInterpolation_4PointCalls - lagrange;
    o.cubicCalls = id.Fit.ThirdOrderCoefficients_2PointCalls - cubic;
    o.msg = msg.str();
    return o;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// The interpolation of (x, y) by a reused object (its vectors refilled in
// place) against a fresh one: the same values, grid, settings written back,
// calls and messages, to the bit.
void expectAsFresh(Rig& reused, const std::vector<double>& x, const std::vector<double>& y, const Settings& s,
                   const std::string& what)
{
    reused.x.assign(x.begin(), x.end());
    reused.y.assign(y.begin(), y.end());
    const Outcome got = runOn(reused.id, reused.grid, reused.out, s);
    Rig fresh(x, y);
    const Outcome want = runOn(fresh.id, fresh.grid, fresh.out, s);
    ASSERT_TRUE(want.ok) << what << ": " << want.msg;
    EXPECT_EQ(got.ok, want.ok) << what;
    EXPECT_EQ(got.msg, want.msg) << what;
    EXPECT_TRUE(sameBits(got.out, want.out)) << what;
    EXPECT_TRUE(sameBits(got.grid, want.grid)) << what;
    EXPECT_EQ(std::memcmp(&got.start, &want.start, sizeof(double)), 0) << what;
    EXPECT_EQ(std::memcmp(&got.step, &want.step, sizeof(double)), 0) << what;
    EXPECT_EQ(got.lagrangeCalls, want.lagrangeCalls) << what;
    EXPECT_EQ(got.cubicCalls, want.cubicCalls) << what;
}

// Uneven abscissas from 1.5e-12 over about a nanosecond.
std::vector<double> unevenTimes(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> gap(0.6e-11, 1.4e-11);
    std::vector<double> x(n);
    x[0] = 1.5e-12;
    for (std::size_t i = 1; i < n; ++i)
        x[i] = x[i - 1] + gap(rng);
    return x;
}

// Step responses of the kinds a search meets: a delay of exact zeros, a rise
// with ringing, sign changes, a settled tail; ordinates that jump, and a
// zero in the middle, so that every path of the ordinates' tests is taken.
std::vector<std::vector<double>> stepSets(std::size_t n)
{
    std::vector<std::vector<double>> sets;
    for (int s = 0; s < 6; ++s) {
        std::vector<double> y(n);
        const double delay = 0.1 * n + 3.0 * s;
        for (std::size_t i = 0; i < n; ++i) {
            const double k = static_cast<double>(i) - delay;
            y[i] = k <= 0.0 ? 0.0 : (0.5 + 0.1 * s) * (1.0 - std::exp(-k / (4.0 + s)) * std::cos(0.7 * k));
        }
        if (s == 2)
            y[n / 2] = 0.0;
        if (s == 3)
            for (std::size_t i = n / 3; i < n / 3 + 6; ++i)
                y[i] *= (i % 2 == 0) ? 3.0 : -1.0;
        if (s == 4)
            for (double& v : y)
                v -= 0.2;
        sets.push_back(y);
    }
    return sets;
}

}  // namespace

// A search over many step responses on one time axis and one grid: each
// run of the same object is what a fresh object makes of that response.
TEST(InterpolateData, ReusedObjectOverManyDataSetsIsAsFresh)
{
    const std::size_t n = 61;
    const std::vector<double> x = unevenTimes(n, 5);
    Settings generated;
    generated.start = 0.0 + x[0];
    generated.step = 0.37e-11;
    generated.points = static_cast<int>((x.back() - x[0]) / generated.step);
    Settings given = generated;
    given.option = 1;
    // Before the data, on abscissas, in the first and last intervals, past
    // the end, and a step back.
    given.grid = {x[0] - 2e-11, x[0] - 0.5e-11, x[0], 0.5 * (x[0] + x[1]), x[1], 0.3 * x[1] + 0.7 * x[2]};
    for (std::size_t i = 2; i + 1 < n; ++i)
        given.grid.push_back(x[i] - 0.25 * (x[i] - x[i - 1]));
    given.grid.push_back(x[20] + 0.5 * (x[21] - x[20]));
    given.grid.push_back(0.5 * (x[n - 2] + x[n - 1]));
    given.grid.push_back(x[n - 1]);
    given.grid.push_back(x[n - 1] + 1e-11);
    for (Settings s : {generated, given}) {
        for (int type = 0; type <= 2; ++type) {
            for (int stepData = 0; stepData <= 1; ++stepData) {
                s.type = type;
                s.stepData = stepData;
                s.differentiate = stepData;
                Rig reused(x, x);
                int set = 0;
                for (const std::vector<double>& y : stepSets(n)) {
                    expectAsFresh(reused, x, y, s,
                                  "option " + std::to_string(s.option) + ", type " + std::to_string(type) +
                                      ", step " + std::to_string(stepData) + ", set " +
                                      std::to_string(set++));
                }
            }
        }
    }
}

// The same object with the abscissas changed in place (same size, one value
// by one unit in the last place), then with new output abscissas and new
// settings: each run is what a fresh object makes of it.
TEST(InterpolateData, ReusedObjectNoticesChangedAbscissasGridAndSettings)
{
    const std::size_t n = 40;
    const std::vector<double> x = unevenTimes(n, 9);
    const std::vector<std::vector<double>> ys = stepSets(n);
    Settings s;
    s.option = 1;
    for (std::size_t i = 1; i < n; ++i)
        s.grid.push_back(x[i] - 0.4 * (x[i] - x[i - 1]));
    Rig r(x, x);
    expectAsFresh(r, x, ys[0], s, "first run");

    std::vector<double> moved = x;
    moved[17] = std::nextafter(moved[17], 1.0);  // an exact hit no more
    s.grid[16] = x[17];
    expectAsFresh(r, x, ys[1], s, "on an abscissa");
    expectAsFresh(r, moved, ys[1], s, "abscissa one ulp up");
    moved[30] = 0.5 * (moved[29] + moved[30]);
    expectAsFresh(r, moved, ys[1], s, "abscissa moved");
    expectAsFresh(r, moved, ys[2], s, "same abscissas again");

    s.grid[3] = std::nextafter(s.grid[3], 0.0);
    expectAsFresh(r, moved, ys[2], s, "grid point one ulp down");
    s.grid.pop_back();
    expectAsFresh(r, moved, ys[2], s, "shorter grid");
    s.grid.insert(s.grid.begin(), moved[0] - 3e-11);  // before a step's ramp
    expectAsFresh(r, moved, ys[4], s, "before the data");
    s.stepData = 0;
    expectAsFresh(r, moved, ys[4], s, "before the data, not step data");
    s.stepData = 1;
    expectAsFresh(r, moved, ys[4], s, "before the data, step data again");

    Settings g;
    g.start = x[0];
    g.step = 0.5e-11;
    g.points = 50;
    expectAsFresh(r, moved, ys[3], g, "generated grid");
    g.step = 0.51e-11;
    expectAsFresh(r, moved, ys[3], g, "another step");
    g.start = x[0] + 0.2e-11;
    expectAsFresh(r, moved, ys[3], g, "another start");
    g.points = 49;
    expectAsFresh(r, moved, ys[3], g, "fewer points");
    g.stepData = 0;
    expectAsFresh(r, moved, ys[3], g, "not step data");
    g.type = 1;
    expectAsFresh(r, moved, ys[3], g, "cubic");
    g.type = 0;
    expectAsFresh(r, moved, ys[3], g, "linear");
    g.type = 2;
    g.logX = 1;
    g.differentiate = 0;
    expectAsFresh(r, moved, ys[5], g, "logarithmic abscissa");
    g.logX = 0;
    expectAsFresh(r, moved, ys[5], g, "linear abscissa again");
}

// One object over smooth data, data with a zero and a jump, and smooth data
// again, on the same abscissas: every point, from the first interval to the
// last, takes the value a plain reading of the rule gives (the Lagrange form
// unless the stencil would ring, where the linear value), and every Lagrange
// value is counted.
TEST(InterpolateData, ZerosAndJumpsBetweenReusedRunsFollowTheRule)
{
    const std::size_t n = 16;
    // Uneven intervals: no two stencils alike.
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i)
        x[i] = static_cast<double>(i) + 0.05 * static_cast<double>(i * i);
    std::vector<double> smooth(n);
    for (std::size_t i = 0; i < n; ++i)
        smooth[i] = 1.0 + 0.1 * static_cast<double>(i) + 0.03 * static_cast<double>(i * i);
    // A zero (next to ordinates that would not ring with 1 in its place):
    // the stencils of intervals 3 to 6 would ring; a jump up: 10 to 13; a
    // drop at the end: 14.
    std::vector<double> rough = smooth;
    rough[4] = 0.0;
    rough[11] = 3.0 * rough[11];
    rough[15] = rough[14] / 3.0;
    std::vector<double> grid;  // intervals 1 to n-1
    for (std::size_t h = 1; h < n; ++h)
        grid.push_back(0.5 * (x[h - 1] + x[h]));
    Rig r(x, smooth);
    int lagrangeSeen = 0, linearSeen = 0;
    for (const std::vector<double>* data : {&smooth, &rough, &smooth, &rough}) {
        r.y = *data;
        const long long before = r.id.Fit.LagrangeInterpolation_4PointCalls;
        ASSERT_TRUE(r.onGrid(grid, 2, 1));
        const std::vector<double>& yd = *data;
        long long lagrange = 0;
        for (std::size_t j = 0; j < grid.size(); ++j) {
            const std::size_t h = j + 1;
            double c[4] = {0, 0, 0, 0}, g[4] = {0, 0, 0, 0};
            if (h == 1) {  // a step is zero before the data
                const double cs[4] = {-x[1], 0, x[1], x[2]}, gs[4] = {0, yd[0], yd[1], yd[2]};
                std::copy(cs, cs + 4, c);
                std::copy(gs, gs + 4, g);
            } else if (h == n - 1) {  // and holds its last value after them
                const double cs[4] = {x[n - 3], x[n - 2], x[n - 1], 2 * x[n - 1] - x[n - 2]};
                const double gs[4] = {yd[n - 3], yd[n - 2], yd[n - 1], yd[n - 1]};
                std::copy(cs, cs + 4, c);
                std::copy(gs, gs + 4, g);
            } else {
                std::copy(&x[h - 2], &x[h - 2] + 4, c);
                std::copy(&yd[h - 2], &yd[h - 2] + 4, g);
            }
            const bool rings = g[0] == 0 || g[1] == 0 || g[2] == 0 || g[3] == 0 || g[1] / g[0] > 2 ||
                               g[0] / g[1] > 2 || g[2] / g[3] > 2 || g[3] / g[2] > 2;
            const double t = grid[j];
            const double want =
                rings ? g[1] + (g[2] - g[1]) * (t - c[1]) / (c[2] - c[1]) : lagrangeRef(t, c, g);
            // The two forms differ visibly here.
            EXPECT_GT(std::fabs(lagrangeRef(t, c, g) - (g[1] + (g[2] - g[1]) * (t - c[1]) / (c[2] - c[1]))),
                      1e-3)
                << j;
            EXPECT_NEAR(r.out[j], want, 1e-12 * std::fabs(want)) << "point " << j;
            lagrange += rings ? 0 : 1;
            (rings ? linearSeen : lagrangeSeen) += 1;
        }
        EXPECT_EQ(r.id.Fit.LagrangeInterpolation_4PointCalls - before, lagrange);
    }
    EXPECT_GT(lagrangeSeen, 0);
    EXPECT_GT(linearSeen, 0);
}

// Ordinates at the edges of the ringing test: quotients of exactly 2, one
// unit above, 1.5 and just above, of both signs, zeros, subnormal, huge,
// infinite and not-a-number ordinates, each pair next to a harmless one in
// an interior stencil. Every point takes, to the bit, the one-point
// Lagrange value or the linear value as a plain reading of the rule
// decides, on the first run and on runs that reuse the abscissas.
TEST(InterpolateData, RingingTestAtItsEdgesFollowsTheRule)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double big = std::numeric_limits<double>::max();
    const double tiny = std::numeric_limits<double>::min();
    const double pairs[][2] = {{1, 1.5},
                               {1.5, 1},
                               {1, std::nextafter(1.5, 2.0)},
                               {1, 2},
                               {2, 1},
                               {1, std::nextafter(2.0, 3.0)},
                               {std::nextafter(2.0, 3.0), 1},
                               {1, 2.25},
                               {-1, -1.5},
                               {-1, 2.5},
                               {-2.5, 1},
                               {0, 0},
                               {1, 0},
                               {0, 1},
                               {1e-310, 1.2e-310},
                               {tiny, 1.5 * tiny},
                               {1e-310, 1},
                               {big, big / 1.25},
                               {big / 1.25, big},
                               {inf, inf},
                               {inf, 1},
                               {std::nan(""), 1},
                               {1, std::nan("")}};
    std::vector<double> y;
    for (const auto& p : pairs) {
        y.push_back(p[0]);
        y.push_back(p[1]);
        y.push_back(1.0);
        y.push_back(1.25);
    }
    // Zeros in both pairs that are tested together.
    for (double v : {0.0, 0.0, 0.0, 1.0, 1.25, 1.0, 1.25})
        y.push_back(v);
    const std::size_t n = y.size();
    const std::vector<double> x = range(0, 1, static_cast<int>(n));
    std::vector<double> grid;
    for (std::size_t h = 2; h + 2 <= n; ++h)
        grid.push_back(static_cast<double>(h) - 0.375);
    Rig r(x, y);
    int lagrange = 0, linear = 0;
    for (int run = 0; run < 3; ++run) {
        // The third run on ordinates in reverse order.
        if (run == 2)
            std::reverse(r.y.begin(), r.y.end());
        const std::vector<double> yd = r.y;
        ASSERT_TRUE(r.onGrid(grid, 2, 0)) << r.msg.str();
        for (std::size_t j = 0; j < grid.size(); ++j) {
            const std::size_t h = j + 2;
            const double* c = &x[h - 2];
            const double* g = &yd[h - 2];
            const double t = grid[j];
            const bool rings = g[0] == 0 || g[1] == 0 || g[2] == 0 || g[3] == 0 || g[1] / g[0] > 2 ||
                               g[0] / g[1] > 2 || g[2] / g[3] > 2 || g[3] / g[2] > 2;
            CurveFit one;
            const double want =
                rings ? g[1] + (g[2] - g[1]) * (t - c[1]) / (c[2] - c[1])
                      : one.LagrangeInterpolation_4Point(t, c[0], g[0], c[1], g[1], c[2], g[2], c[3], g[3]);
            const bool same =
                std::memcmp(&r.out[j], &want, sizeof want) == 0 || (std::isnan(r.out[j]) && std::isnan(want));
            EXPECT_TRUE(same) << "run " << run << ", interval " << h << ": " << r.out[j] << " vs " << want
                              << (rings ? " (linear)" : " (Lagrange)");
            (rings ? linear : lagrange) += 1;
        }
    }
    EXPECT_GT(lagrange, 20);
    EXPECT_GT(linear, 20);
}

// A repeated, descending or not-a-number abscissa is found wherever it is,
// for odd and even sizes: named in the message, the first one if several.
TEST(InterpolateData, SetupFindsAnAbscissaOutOfOrderAnywhere)
{
    for (int n = 4; n <= 9; ++n) {
        Rig fine(range(0, 1, n), range(0, 1, n));
        fine.id.nPtsOut = 2;
        EXPECT_TRUE(fine.id.Setup(nullptr, fine.msg)) << n << ": " << fine.msg.str();
        for (int k = 1; k < n; ++k) {
            for (double bad :
                 {static_cast<double>(k - 1), k - 1.5, std::numeric_limits<double>::quiet_NaN()}) {
                std::vector<double> x = range(0, 1, n);
                x[k] = bad;
                if (k + 2 < n)
                    x[k + 2] = x[k + 1];  // a later one is not reported
                Rig r(x, range(0, 1, n));
                r.id.nPtsOut = 2;
                EXPECT_FALSE(r.id.Setup(nullptr, r.msg)) << n << ", " << k;
                std::ostringstream want;
                want << "xData[" << k + 1 << "] = " << x[k] << "  <= xData[" << k << "] = " << x[k - 1]
                     << ". X-axis data must be in non-repeating ascending order.";
                EXPECT_EQ(r.msg.str(), want.str()) << n << ", " << k;
            }
        }
    }
}
