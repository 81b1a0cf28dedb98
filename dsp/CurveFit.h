#ifndef VM_DSP_CURVEFIT_H
#define VM_DSP_CURVEFIT_H

#include <cstddef>
#include <fstream>

namespace Veltramodels20200612 {

// Local polynomial fits used by the interpolation kernels.
class CurveFit {
public:
    explicit CurveFit(std::ofstream* useFile = nullptr);

    // Optional log stream (not owned). Each method writes its name line there
    // on its first call when the stream is open.
    std::ofstream* UseFile;
    // Calls made so far, one counter per method.
    long long LagrangeInterpolation_4PointCalls;
    long long ThirdOrderCoefficients_2PointCalls;

    // Value at t of the cubic through (x0,y0) ... (x3,y3), in Lagrange form.
    // The abscissas must be distinct.
    double LagrangeInterpolation_4Point(double t, double x0, double y0, double x1, double y1, double x2,
                                        double y2, double x3, double y3);
    // The same for count points at once, counted as count calls: point i is
    // at t[i] with abscissas x[0][i] ... x[3][i] and ordinates y[0][i] ...
    // y[3][i], and out[i] gets, to the bit, what the one-point form gives
    // for it. Independent points keep the divider busy (four at a time on
    // processors with AVX) where one point's quotients would wait on it.
    void LagrangeInterpolation_4Point(std::size_t count, const double* t, const double* const x[4],
                                      const double* const y[4], double* out);

    // The Lagrange form in two halves, for points whose abscissas stay while
    // their ordinates change. LagrangeQuotients_4Point forms the twelve
    // quotients (t - x_j) / (x_k - x_j), j != k, in the order the value takes
    // them: q[3k], q[3k+1], q[3k+2] go with ordinate k. Not counted.
    static void LagrangeQuotients_4Point(double t, const double* x, double* q);
    // The same for count points at t[0 .. count-1], their abscissas at
    // x[first[i]] .. x[first[i] + 3], into the blocks of four points that
    // the many-point value below reads.
    static void LagrangeQuotients_4Point(std::size_t count, const double* t, const double* x,
                                         const std::size_t* first, double* q);
    // The value from such quotients and ordinates y[0 .. 3]: to the bit what
    // the one-point form gives for t, x and y. Counted as a call.
    double LagrangeFromQuotients_4Point(const double* q, const double* y);
    // The same for count points at once. Point i has its quotients at
    // q[48 * (i / 4) + 4 * p + i % 4], p = 0 .. 11 (blocks of four points,
    // quotient by quotient), and its ordinates at y[first[i]] ..
    // y[first[i] + 3], which must all be readable. Only points with use[i]
    // nonzero are evaluated, into out[at[i]], and counted as calls; nothing
    // else in out is written.
    void LagrangeFromQuotients_4Point(std::size_t count, const double* q, const double* y,
                                      const std::size_t* first, const unsigned char* use,
                                      const std::size_t* at, double* out);

    // Coefficients of y = a0 + a1*x + a2*x^2 + a3*x^3 through (x1,y1) and
    // (x2,y2) with slope s1 at x1 and s2 at x2, by Cramer's rule. A singular
    // system gives all four coefficients 0. Returns false only if a
    // determinant cannot be evaluated or a coefficient pointer is null.
    bool ThirdOrderCoefficients_2Point(double* a0, double* a1, double* a2, double* a3, double x1, double y1,
                                       double x2, double y2, double s1, double s2);
};

}  // namespace Veltramodels20200612

#endif
