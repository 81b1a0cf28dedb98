#include "dsp/CurveFit.h"

#include "dsp/MatrixMath.h"

namespace Veltramodels20200612 {

CurveFit::CurveFit(std::ofstream* useFile)
    : UseFile(useFile),
      LagrangeInterpolation_4PointCalls(0),
      ThirdOrderCoefficients_2PointCalls(0)
{
}

double CurveFit::LagrangeInterpolation_4Point(double t, double x0, double y0, double x1, double y1, double x2,
                                              double y2, double x3, double y3)
{
    if (LagrangeInterpolation_4PointCalls == 0 && UseFile != nullptr && UseFile->is_open()) {
        *UseFile << "Veltramodels20200612::CurveFit::LagrangeInterpolation_4Point\n";
    }
    ++LagrangeInterpolation_4PointCalls;

    const double x[4] = {x0, x1, x2, x3};
    const double y[4] = {y0, y1, y2, y3};
    // The twelve quotients (t - x_j) / (x_k - x_j), j != k, are independent
    // of each other: formed in one loop with nothing else in it, they go
    // through the divider two or four at a time instead of one by one. Each
    // is the same correctly rounded quotient, and the products and the sum
    // below keep their order, so the value is the same to the bit.
    double num[12], den[12], q[12];
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
    double sum = 0.0;
    for (int k = 0; k < 4; ++k)
        sum += ((y[k] * q[3 * k]) * q[3 * k + 1]) * q[3 * k + 2];
    return sum;
}

bool CurveFit::ThirdOrderCoefficients_2Point(double* a0, double* a1, double* a2, double* a3, double x1,
                                             double y1, double x2, double y2, double s1, double s2)
{
    if (ThirdOrderCoefficients_2PointCalls == 0 && UseFile != nullptr && UseFile->is_open()) {
        *UseFile << "Veltramodels20200612::CurveFit::ThirdOrderCoefficients_2Point\n";
    }
    ++ThirdOrderCoefficients_2PointCalls;

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
