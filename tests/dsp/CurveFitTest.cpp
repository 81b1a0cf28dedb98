#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/CurveFit.h"
#include "dsp/MatrixMath.h"

using namespace Veltramodels20200612;

namespace {

// Determinant by the Leibniz formula over all permutations: an independent
// reference for the cofactor expansion.
double leibniz(const std::vector<double>& a, int n)
{
    std::vector<int> p(n);
    for (int i = 0; i < n; ++i)
        p[i] = i;
    double sum = 0.0;
    do {
        int inversions = 0;
        for (int i = 0; i < n; ++i)
            for (int j = i + 1; j < n; ++j)
                if (p[i] > p[j])
                    ++inversions;
        double prod = (inversions % 2) ? -1.0 : 1.0;
        for (int i = 0; i < n; ++i)
            prod *= a[i * n + p[i]];
        sum += prod;
    } while (std::next_permutation(p.begin(), p.end()));
    return sum;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

TEST(MatrixMath, SmallKnownDeterminants)
{
    MatrixMath mm;
    double d = -7.0;
    EXPECT_TRUE(mm.MatrixDeterminant(nullptr, 0, d));
    EXPECT_EQ(d, 1.0);
    const double one[1] = {-3.5};
    EXPECT_TRUE(mm.MatrixDeterminant(one, 1, d));
    EXPECT_EQ(d, -3.5);
    const double two[4] = {3, 8, 4, 6};  // 18 - 32
    EXPECT_TRUE(mm.MatrixDeterminant(two, 2, d));
    EXPECT_EQ(d, -14.0);
    const double three[9] = {6, 1, 1, 4, -2, 5, 2, 8, 7};  // -306
    EXPECT_TRUE(mm.MatrixDeterminant(three, 3, d));
    EXPECT_DOUBLE_EQ(d, -306.0);
    // Upper triangular: product of the diagonal; row-major layout matters.
    const double tri[16] = {2, 9, 9, 9, 0, 3, 9, 9, 0, 0, -4, 9, 0, 0, 0, 5};
    EXPECT_TRUE(mm.MatrixDeterminant(tri, 4, d));
    EXPECT_DOUBLE_EQ(d, -120.0);
    // Two equal rows.
    const double sing[16] = {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 0, 1, 0, 1};
    EXPECT_TRUE(mm.MatrixDeterminant(sing, 4, d));
    EXPECT_EQ(d, 0.0);
}

TEST(MatrixMath, RandomMatricesMatchLeibniz)
{
    MatrixMath mm;
    std::mt19937 gen(12345);
    std::uniform_real_distribution<double> dist(-2.0, 2.0);
    for (int n = 1; n <= 7; ++n) {  // n = 7 exercises the heap workspace
        for (int trial = 0; trial < 5; ++trial) {
            std::vector<double> a(n * n);
            for (double& v : a)
                v = dist(gen);
            double d = 0.0;
            ASSERT_TRUE(mm.MatrixDeterminant(a.data(), n, d));
            EXPECT_NEAR(d, leibniz(a, n), 1e-12 * std::max(1.0, std::fabs(d))) << "n=" << n;
        }
    }
}

TEST(MatrixMath, RejectsUnusableInput)
{
    MatrixMath mm;
    double d = 5.0;
    EXPECT_FALSE(mm.MatrixDeterminant(nullptr, 3, d));
    EXPECT_EQ(d, 0.0);
    const double a[1] = {1.0};
    EXPECT_FALSE(mm.MatrixDeterminant(a, -1, d));
}

TEST(CurveFit, LagrangeIsExactOnCubics)
{
    CurveFit cf;
    auto f = [](double x) { return 1.5 - 2.0 * x + 0.75 * x * x - 0.125 * x * x * x; };
    const double x[4] = {-1.0, 0.3, 2.0, 5.5};  // uneven spacing
    for (double t = -2.0; t <= 7.0; t += 0.37) {
        const double v =
            cf.LagrangeInterpolation_4Point(t, x[0], f(x[0]), x[1], f(x[1]), x[2], f(x[2]), x[3], f(x[3]));
        EXPECT_NEAR(v, f(t), 1e-12 * std::max(1.0, std::fabs(f(t)))) << "t=" << t;
    }
    // At the nodes the node values come back.
    EXPECT_DOUBLE_EQ(cf.LagrangeInterpolation_4Point(2.0, 0, 1, 1, 7, 2, -3, 3, 4), -3.0);
    EXPECT_DOUBLE_EQ(cf.LagrangeInterpolation_4Point(0.0, 0, 1, 1, 7, 2, -3, 3, 4), 1.0);
}

TEST(CurveFit, ThirdOrderReproducesCubicFromValuesAndSlopes)
{
    CurveFit cf;
    const double c[4] = {0.7, -1.25, 0.5, 0.3};
    auto f = [&](double x) { return c[0] + c[1] * x + c[2] * x * x + c[3] * x * x * x; };
    auto df = [&](double x) { return c[1] + 2 * c[2] * x + 3 * c[3] * x * x; };
    const double pairs[][2] = {{1.0, 2.0}, {2.0, 3.5}, {1.2, 1.3}, {-2.0, 4.0}};
    for (const auto& p : pairs) {
        double a0 = 0, a1 = 0, a2 = 0, a3 = 0;
        ASSERT_TRUE(cf.ThirdOrderCoefficients_2Point(&a0, &a1, &a2, &a3, p[0], f(p[0]), p[1], f(p[1]),
                                                     df(p[0]), df(p[1])));
        EXPECT_NEAR(a0, c[0], 1e-9);
        EXPECT_NEAR(a1, c[1], 1e-9);
        EXPECT_NEAR(a2, c[2], 1e-9);
        EXPECT_NEAR(a3, c[3], 1e-9);
    }
}

TEST(CurveFit, ThirdOrderSingularSystemGivesZeros)
{
    CurveFit cf;
    double a0 = 9, a1 = 9, a2 = 9, a3 = 9;
    // Both points at the same abscissa: two equal rows.
    EXPECT_TRUE(cf.ThirdOrderCoefficients_2Point(&a0, &a1, &a2, &a3, 1.5, 1.0, 1.5, 2.0, 0.5, 0.5));
    EXPECT_EQ(a0, 0.0);
    EXPECT_EQ(a1, 0.0);
    EXPECT_EQ(a2, 0.0);
    EXPECT_EQ(a3, 0.0);
    // A point at x = 0: its slope row multiplied by x vanishes.
    a0 = a1 = a2 = a3 = 9;
    EXPECT_TRUE(cf.ThirdOrderCoefficients_2Point(&a0, &a1, &a2, &a3, 0.0, 1.0, 1.0, 2.0, 0.5, 0.5));
    EXPECT_EQ(a0, 0.0);
    EXPECT_EQ(a3, 0.0);
    EXPECT_FALSE(cf.ThirdOrderCoefficients_2Point(nullptr, &a1, &a2, &a3, 1, 1, 2, 2, 1, 1));
}

TEST(CurveFit, UseFileGetsEachNameOnce)
{
    const std::string path = ::testing::TempDir() + "curvefit_use_file.txt";
    {
        std::ofstream log(path);
        CurveFit cf(&log);
        double a0, a1, a2, a3;
        cf.LagrangeInterpolation_4Point(0.5, 0, 1, 1, 2, 2, 3, 3, 4);
        cf.LagrangeInterpolation_4Point(0.5, 0, 1, 1, 2, 2, 3, 3, 4);
        cf.ThirdOrderCoefficients_2Point(&a0, &a1, &a2, &a3, 1, 1, 2, 2, 1, 1);
        cf.ThirdOrderCoefficients_2Point(&a0, &a1, &a2, &a3, 1, 1, 2, 2, 1, 1);
        EXPECT_EQ(cf.LagrangeInterpolation_4PointCalls, 2);
        EXPECT_EQ(cf.ThirdOrderCoefficients_2PointCalls, 2);
    }
    EXPECT_EQ(readFile(path), "Veltramodels20200612::CurveFit::LagrangeInterpolation_4Point\n"
                              "Veltramodels20200612::CurveFit::ThirdOrderCoefficients_2Point\n");
    std::remove(path.c_str());
}

// The many-point Lagrange form gives every point the one-point form's value
// to the bit, whatever the count (whole registers of points and the rest),
// counts each point as a call, and logs its name once like the one-point
// form.
TEST(CurveFit, ManyPointLagrangeIsTheOnePointFormPointByPoint)
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (std::size_t count : {0u, 1u, 3u, 4u, 5u, 8u, 13u, 400u}) {
        std::vector<double> t(count), x[4], y[4], out(count, -7.0);
        for (int k = 0; k < 4; ++k) {
            x[k].resize(count);
            y[k].resize(count);
        }
        for (std::size_t i = 0; i < count; ++i) {
            // Ascending abscissas with uneven gaps, t anywhere around them,
            // and ordinates of both signs and very different sizes.
            double at = 1e-12 * u(rng);
            for (int k = 0; k < 4; ++k) {
                at += 1e-12 * (1.0 + 0.5 * u(rng));
                x[k][i] = at;
                y[k][i] = std::ldexp(u(rng), static_cast<int>(8 * u(rng)));
            }
            t[i] = x[0][i] + (x[3][i] - x[0][i]) * (0.5 + 0.7 * u(rng));
        }
        const double* const xs[4] = {x[0].data(), x[1].data(), x[2].data(), x[3].data()};
        const double* const ys[4] = {y[0].data(), y[1].data(), y[2].data(), y[3].data()};
        CurveFit many, one;
        many.LagrangeInterpolation_4Point(count, t.data(), xs, ys, out.data());
        EXPECT_EQ(many.LagrangeInterpolation_4PointCalls, static_cast<long long>(count));
        for (std::size_t i = 0; i < count; ++i) {
            const double want = one.LagrangeInterpolation_4Point(t[i], x[0][i], y[0][i], x[1][i], y[1][i],
                                                                 x[2][i], y[2][i], x[3][i], y[3][i]);
            ASSERT_EQ(std::memcmp(&out[i], &want, sizeof want), 0)
                << "point " << i << " of " << count << ": " << out[i] << " vs " << want;
        }
    }

    const std::string path = ::testing::TempDir() + "curvefit_many_use_file.txt";
    {
        std::ofstream log(path);
        CurveFit cf(&log);
        const double t = 0.5, x0 = 0, x1 = 1, x2 = 2, x3 = 3, y0 = 1, y1 = 2, y2 = 3, y3 = 4;
        const double* const xs[4] = {&x0, &x1, &x2, &x3};
        const double* const ys[4] = {&y0, &y1, &y2, &y3};
        double out = 0.0;
        cf.LagrangeInterpolation_4Point(0, &t, xs, ys, &out);  // no point: no call, no line
        cf.LagrangeInterpolation_4Point(1, &t, xs, ys, &out);
        cf.LagrangeInterpolation_4Point(1, &t, xs, ys, &out);
        EXPECT_EQ(cf.LagrangeInterpolation_4PointCalls, 2);
    }
    EXPECT_EQ(readFile(path), "Veltramodels20200612::CurveFit::LagrangeInterpolation_4Point\n");
    std::remove(path.c_str());
}

// The Lagrange form from kept quotients gives, to the bit, what the one-point
// form gives for the same abscissas and ordinates: one point at a time, and
// many at once from ordinates read in place, whatever the count, into
// consecutive places or scattered ones. Only the points in use are written
// and counted; the name is logged once.
TEST(CurveFit, LagrangeFromQuotientsIsTheOnePointForm)
{
    std::mt19937 rng(23);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (std::size_t count : {0u, 1u, 3u, 4u, 5u, 8u, 11u, 400u}) {
        for (int scattered = 0; scattered < 5; ++scattered) {
            // Ordinates of both signs and very different sizes, each point's
            // four read from anywhere in them.
            std::vector<double> y(count + 40);
            for (double& v : y)
                v = std::ldexp(u(rng), static_cast<int>(8 * u(rng)));
            const std::size_t blocks = (count + 3) / 4;
            std::vector<double> q(48 * blocks, std::nan("")), t(count), x(4 * count);
            std::vector<std::size_t> first(count), at(count);
            std::vector<unsigned char> use(count);
            // Places after an offset, in order, spread by a step of 7 (prime
            // to every count here), or in order but for one of each four.
            std::vector<double> out(3 * count + 5);
            for (std::size_t i = 0; i < out.size(); ++i)
                out[i] = -7.0 - static_cast<double>(i);
            const std::vector<double> before = out;
            for (std::size_t i = 0; i < count; ++i) {
                double a = 1e-12 * u(rng);
                for (int k = 0; k < 4; ++k) {
                    a += 1e-12 * (1.0 + 0.5 * u(rng));
                    x[4 * i + k] = a;
                }
                t[i] = x[4 * i] + (x[4 * i + 3] - x[4 * i]) * (0.5 + 0.7 * u(rng));
                double qi[12];
                CurveFit::LagrangeQuotients_4Point(t[i], &x[4 * i], qi);
                for (int p = 0; p < 12; ++p)
                    q[48 * (i / 4) + 4 * p + i % 4] = qi[p];
                first[i] = static_cast<std::size_t>(rng() % 37);
                use[i] = (count < 8 || rng() % 3 != 0) ? 1 : 0;
                if (scattered >= 2)  // in order but for one lane of each four
                    at[i] = 5 + i + (i % 4 == static_cast<std::size_t>(scattered - 1) ? count : 0);
                else
                    at[i] = 5 + (scattered != 0 ? (7 * i) % count : i);
            }
            // The many-point quotients are the one-point ones, to the bit, in
            // their places in the blocks.
            std::vector<double> manyQ(48 * blocks, std::nan(""));
            std::vector<std::size_t> xFirst(count);
            for (std::size_t i = 0; i < count; ++i)
                xFirst[i] = 4 * i;
            CurveFit::LagrangeQuotients_4Point(count, t.data(), x.data(), xFirst.data(), manyQ.data());
            // (No points: nothing to compare, and no buffer to pass.)
            ASSERT_TRUE(q.empty() || std::memcmp(manyQ.data(), q.data(), q.size() * sizeof(double)) == 0)
                << count << " points";

            CurveFit many, single, one;
            many.LagrangeFromQuotients_4Point(count, q.data(), y.data(), first.data(), use.data(), at.data(),
                                              out.data());
            std::vector<double> want = before;
            long long used = 0;
            for (std::size_t i = 0; i < count; ++i) {
                const double* g = &y[first[i]];
                const double* c = &x[4 * i];
                const double value =
                    one.LagrangeInterpolation_4Point(t[i], c[0], g[0], c[1], g[1], c[2], g[2], c[3], g[3]);
                double qi[12];
                CurveFit::LagrangeQuotients_4Point(t[i], c, qi);
                const double alone = single.LagrangeFromQuotients_4Point(qi, g);
                ASSERT_EQ(std::memcmp(&alone, &value, sizeof value), 0)
                    << "point " << i << ": " << alone << " vs " << value;
                if (use[i] != 0) {
                    want[at[i]] = value;
                    ++used;
                }
            }
            EXPECT_TRUE(out.empty() || std::memcmp(out.data(), want.data(), out.size() * sizeof(double)) == 0)
                << count << " points, scattered " << scattered;
            EXPECT_EQ(many.LagrangeInterpolation_4PointCalls, used);
            EXPECT_EQ(single.LagrangeInterpolation_4PointCalls, static_cast<long long>(count));
            if (count == 400u) {
                EXPECT_GT(used, 200);
                EXPECT_LT(used, 400);
            }
        }
    }

    const std::string path = ::testing::TempDir() + "curvefit_quotients_use_file.txt";
    {
        std::ofstream log(path);
        CurveFit cf(&log);
        const double x[4] = {0, 1, 2, 3}, y[4] = {1, 2, 3, 4};
        double q[48] = {};
        CurveFit::LagrangeQuotients_4Point(0.5, x, q);
        const std::size_t first[4] = {0, 0, 0, 0}, at[4] = {0, 1, 2, 3};
        const unsigned char none[4] = {0, 0, 0, 0};
        double out[4] = {};
        cf.LagrangeFromQuotients_4Point(4, q, y, first, none, at, out);  // nothing in use: no call, no line
        EXPECT_EQ(cf.LagrangeInterpolation_4PointCalls, 0);
        cf.LagrangeFromQuotients_4Point(q, y);
        cf.LagrangeFromQuotients_4Point(q, y);
        EXPECT_EQ(cf.LagrangeInterpolation_4PointCalls, 2);
    }
    EXPECT_EQ(readFile(path), "Veltramodels20200612::CurveFit::LagrangeInterpolation_4Point\n");
    std::remove(path.c_str());
}
