#include "dsp/CurveFit.h"

#include "dsp/MatrixMath.h"

#include <immintrin.h>

#include <cstdint>
#include <cstring>

namespace Veltramodels20200612 {

CurveFit::CurveFit(std::ofstream* useFile)
    : UseFile(useFile),
      LagrangeInterpolation_4PointCalls(0),
      ThirdOrderCoefficients_2PointCalls(0)
{
}

namespace {

// The twelve quotients (t - x_j) / (x_k - x_j), j != k, of the cubic through
// (x[k], y[k]) at t in Lagrange form, k by k. They are independent of each
// other: formed in one loop with nothing else in it, they go through the
// divider two or four at a time instead of one by one, each the same
// correctly rounded quotient.
inline void lagrangeQuotients(double t, const double* x, double* q)
{
    double num[12], den[12];
    int p = 0;
    for (int k = 0; k < 4; ++k) {
        for (int j = 0; j < 4; ++j) {
            if (j != k) {
                num[p] = t - x[j];
                den[p] = x[k] - x[j];
                ++p;
            }
        }
    }
    for (int i = 0; i < 12; ++i)
        q[i] = num[i] / den[i];
}

// The cubic's value from its quotients (every stride-th double of q), the
// products and the sum in their order.
inline double lagrangeFromQuotients(const double* q, std::size_t stride, const double* y)
{
    double sum = 0.0;
    for (int k = 0; k < 4; ++k)
        sum += ((y[k] * q[stride * (3 * k)]) * q[stride * (3 * k + 1)]) * q[stride * (3 * k + 2)];
    return sum;
}

inline double lagrangeValue(double t, const double* x, const double* y)
{
    double q[12];
    lagrangeQuotients(t, x, q);
    return lagrangeFromQuotients(q, 1, y);
}

// Counts added calls of a method, and names it in the use file at its first.
void countCalls(std::ofstream* useFile, long long& calls, long long added, const char* name)
{
    if (calls == 0 && added > 0 && useFile != nullptr && useFile->is_open())
        *useFile << name;
    calls += added;
}

const char* const kLagrangeName = "Veltramodels20200612::CurveFit::LagrangeInterpolation_4Point\n";

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#define VM_CURVEFIT_AVX 1
bool haveAvx()
{
    static const bool have = __builtin_cpu_supports("avx");
    return have;
}

// Four points per 256-bit register, each lane through lagrangeValue's
// operations in their order, with no fused multiply-add: the same bits.
// Returns the number of points done, a multiple of four. Not on Windows,
// where the compiler cannot rely on 32-byte stack alignment for spilled
// 256-bit values.
__attribute__((target("avx"))) std::size_t lagrangeFourAtATime(std::size_t count, const double* t,
                                                               const double* const x[4],
                                                               const double* const y[4], double* out)
{
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256d T = _mm256_loadu_pd(t + i);
        __m256d X[4];
        for (int k = 0; k < 4; ++k)
            X[k] = _mm256_loadu_pd(x[k] + i);
        __m256d sum = _mm256_setzero_pd();
        for (int k = 0; k < 4; ++k) {
            __m256d term = _mm256_loadu_pd(y[k] + i);
            for (int j = 0; j < 4; ++j)
                if (j != k)
                    term =
                        _mm256_mul_pd(term, _mm256_div_pd(_mm256_sub_pd(T, X[j]), _mm256_sub_pd(X[k], X[j])));
            sum = _mm256_add_pd(sum, term);
        }
        _mm256_storeu_pd(out + i, sum);
    }
    return i;
}

// The four-point stencils of four points, each four values in a row from
// the point's first index, turned into one register per stencil position.
__attribute__((target("avx"))) inline void stencilsAvx(const double* v, const std::size_t* first,
                                                       __m256d out[4])
{
    const __m256d r0 = _mm256_loadu_pd(v + first[0]), r1 = _mm256_loadu_pd(v + first[1]);
    const __m256d r2 = _mm256_loadu_pd(v + first[2]), r3 = _mm256_loadu_pd(v + first[3]);
    const __m256d lo01 = _mm256_unpacklo_pd(r0, r1), hi01 = _mm256_unpackhi_pd(r0, r1);
    const __m256d lo23 = _mm256_unpacklo_pd(r2, r3), hi23 = _mm256_unpackhi_pd(r2, r3);
    out[0] = _mm256_permute2f128_pd(lo01, lo23, 0x20);
    out[1] = _mm256_permute2f128_pd(hi01, hi23, 0x20);
    out[2] = _mm256_permute2f128_pd(lo01, lo23, 0x31);
    out[3] = _mm256_permute2f128_pd(hi01, hi23, 0x31);
}

// lagrangeFromQuotients for the whole blocks of four points, each lane
// through its operations in their order, with no fused multiply-add. A
// block without a point in use is skipped; one with all four in use and
// consecutive places is stored at once, the others lane by lane. Returns
// the number of points done, a multiple of four.
__attribute__((target("avx"))) std::size_t lagrangeBlocksAvx(std::size_t count, const double* q,
                                                             const double* y, const std::size_t* first,
                                                             const unsigned char* use, const std::size_t* at,
                                                             double* out)
{
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4, q += 48) {
        std::uint32_t lanes;
        std::memcpy(&lanes, use + i, sizeof lanes);
        if (lanes == 0)
            continue;
        __m256d Y[4];
        stencilsAvx(y, first + i, Y);
        __m256d sum = _mm256_setzero_pd();
        for (int k = 0; k < 4; ++k) {
            __m256d term = Y[k];
            for (int p = 0; p < 3; ++p)
                term = _mm256_mul_pd(term, _mm256_loadu_pd(q + 4 * (3 * k + p)));
            sum = _mm256_add_pd(sum, term);
        }
        if (use[i] != 0 && use[i + 1] != 0 && use[i + 2] != 0 && use[i + 3] != 0 && at[i + 1] == at[i] + 1 &&
            at[i + 2] == at[i] + 2 && at[i + 3] == at[i] + 3) {
            _mm256_storeu_pd(out + at[i], sum);
        } else {
            double values[4];
            _mm256_storeu_pd(values, sum);
            for (int l = 0; l < 4; ++l)
                if (use[i + l] != 0)
                    out[at[i + l]] = values[l];
        }
    }
    return i;
}

// LagrangeQuotients_4Point for the whole blocks of four points, each lane
// the same correctly rounded quotients. Returns the number of points done.
__attribute__((target("avx"))) std::size_t lagrangeQuotientBlocksAvx(std::size_t count, const double* t,
                                                                     const double* x,
                                                                     const std::size_t* first, double* q)
{
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4, q += 48) {
        const __m256d T = _mm256_loadu_pd(t + i);
        __m256d X[4];
        stencilsAvx(x, first + i, X);
        int p = 0;
        for (int k = 0; k < 4; ++k)
            for (int j = 0; j < 4; ++j)
                if (j != k)
                    _mm256_storeu_pd(q + 4 * p++,
                                     _mm256_div_pd(_mm256_sub_pd(T, X[j]), _mm256_sub_pd(X[k], X[j])));
    }
    return i;
}
#endif

}  // namespace

void CurveFit::LagrangeQuotients_4Point(double t, const double* x, double* q)
{
    lagrangeQuotients(t, x, q);
}

void CurveFit::LagrangeQuotients_4Point(std::size_t count, const double* t, const double* x,
                                        const std::size_t* first, double* q)
{
    std::size_t i = 0;
#ifdef VM_CURVEFIT_AVX
    if (haveAvx())
        i = lagrangeQuotientBlocksAvx(count, t, x, first, q);
#endif
    for (; i < count; ++i) {
        double qi[12];
        LagrangeQuotients_4Point(t[i], x + first[i], qi);
        for (int p = 0; p < 12; ++p)
            q[12 * (i - i % 4) + 4 * p + i % 4] = qi[p];
    }
}

double CurveFit::LagrangeFromQuotients_4Point(const double* q, const double* y)
{
    countCalls(UseFile, LagrangeInterpolation_4PointCalls, 1, kLagrangeName);
    return lagrangeFromQuotients(q, 1, y);
}

void CurveFit::LagrangeFromQuotients_4Point(std::size_t count, const double* q, const double* y,
                                            const std::size_t* first, const unsigned char* use,
                                            const std::size_t* at, double* out)
{
    long long used = 0;
    for (std::size_t i = 0; i < count; ++i)
        used += (use[i] != 0);
    if (used == 0)
        return;
    countCalls(UseFile, LagrangeInterpolation_4PointCalls, used, kLagrangeName);
    std::size_t i = 0;
#ifdef VM_CURVEFIT_AVX
    if (haveAvx())
        i = lagrangeBlocksAvx(count, q, y, first, use, at, out);
#endif
    for (; i < count; ++i) {
        if (use[i] != 0)
            out[at[i]] = lagrangeFromQuotients(q + 12 * (i - i % 4) + i % 4, 4, y + first[i]);
    }
}

double CurveFit::LagrangeInterpolation_4Point(double t, double x0, double y0, double x1, double y1, double x2,
                                              double y2, double x3, double y3)
{
    countCalls(UseFile, LagrangeInterpolation_4PointCalls, 1, kLagrangeName);
    const double x[4] = {x0, x1, x2, x3};
    const double y[4] = {y0, y1, y2, y3};
    return lagrangeValue(t, x, y);
}

void CurveFit::LagrangeInterpolation_4Point(std::size_t count, const double* t, const double* const x[4],
                                            const double* const y[4], double* out)
{
    if (count == 0)
        return;
    countCalls(UseFile, LagrangeInterpolation_4PointCalls, static_cast<long long>(count), kLagrangeName);
    std::size_t i = 0;
#ifdef VM_CURVEFIT_AVX
    if (haveAvx())
        i = lagrangeFourAtATime(count, t, x, y, out);
#endif
    for (; i < count; ++i) {
        const double xi[4] = {x[0][i], x[1][i], x[2][i], x[3][i]};
        const double yi[4] = {y[0][i], y[1][i], y[2][i], y[3][i]};
        out[i] = lagrangeValue(t[i], xi, yi);
    }
}

bool CurveFit::ThirdOrderCoefficients_2Point(double* a0, double* a1, double* a2, double* a3, double x1,
                                             double y1, double x2, double y2, double s1, double s2)
{
    countCalls(UseFile, ThirdOrderCoefficients_2PointCalls, 1,
               "Veltramodels20200612::CurveFit::ThirdOrderCoefficients_2Point\n");

    if (a0 == nullptr || a1 == nullptr || a2 == nullptr || a3 == nullptr) {
        return false;
    }

    // Rows: value at x1, value at x2, and the slope conditions multiplied
    // through by x (x*y' = a1*x + 2*a2*x^2 + 3*a3*x^3), row-major.
    const double A[16] = {
        1.0, x1, x1 * x1,       x1 * x1 * x1,       1.0, x2, x2 * x2,       x2 * x2 * x2,
        0.0, x1, 2.0 * x1 * x1, 3.0 * x1 * x1 * x1, 0.0, x2, 2.0 * x2 * x2, 3.0 * x2 * x2 * x2,
    };
    const double b[4] = {y1, y2, s1 * x1, s2 * x2};

    MatrixMath mm;
    double det = 0.0;
    if (!mm.MatrixDeterminant(A, 4, det)) {
        return false;
    }
    double* out[4] = {a0, a1, a2, a3};
    if (det == 0.0) {
        for (int i = 0; i < 4; ++i) {
            *out[i] = 0.0;
        }
        return true;
    }
    double coef[4];
    for (int col = 0; col < 4; ++col) {
        double Ai[16];
        for (int r = 0; r < 4; ++r) {
            for (int c = 0; c < 4; ++c) {
                Ai[r * 4 + c] = (c == col) ? b[r] : A[r * 4 + c];
            }
        }
        double di = 0.0;
        if (!mm.MatrixDeterminant(Ai, 4, di)) {
            return false;
        }
        coef[col] = di / det;
    }
    for (int i = 0; i < 4; ++i) {
        *out[i] = coef[i];
    }
    return true;
}

}  // namespace Veltramodels20200612
