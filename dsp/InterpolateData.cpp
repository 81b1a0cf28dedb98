#include "dsp/InterpolateData.h"

#include <cmath>
#include <exception>
#include <new>

namespace Veltramodels20200612 {

namespace {

const char* const kNoMemory = "Not enough memory to interpolate the data.\n";

}  // namespace

InterpolateData::InterpolateData()
    : yOut(nullptr),
      x_Data(nullptr),
      yData(nullptr),
      xData(nullptr),
      x_DataOption(0),
      x_Step(1.0),
      x_Start(0.0),
      nPtsOut(0),
      UseLogX(0),
      InterpolationType(0),
      DifferentiateData(0),
      ScaleByOneOverXStep(0),
      ScaleForFinalValue(0),
      StepData(0),
      UseFile(nullptr),
      xOffset(0.0),
      LogReference(1.0),
      SavedX(nullptr),
      SavedXSize(0),
      Fit(nullptr)
{
}

InterpolateData::~InterpolateData()
{
    DeleteBuffers();
}

void InterpolateData::DeleteBuffers()
{
    delete[] SavedX;
    SavedX = nullptr;
    SavedXSize = 0;
}

void InterpolateData::Finalize()
{
    DeleteBuffers();
}

// Size checks shared by Setup and the direct DoInterpolation calls: the core
// needs at least four points to build its interpolation stencils.
bool InterpolateData::checkArrays(std::stringstream& msg) const
{
    bool ok = true;
    const size_t ny = yData ? yData->size() : 0;
    const size_t nx = xData ? xData->size() : 0;
    if (ny < 4) {
        msg << "yData array size must be >= 4.\n";
        ok = false;
    }
    if (nx < 4) {
        msg << "xData array size must be >= 4.\n";
        ok = false;
    }
    if (nx != ny) {
        msg << "xData array and yData array must have the same size.\n";
        ok = false;
    }
    return ok;
}

bool InterpolateData::Setup(std::ofstream* useFile, std::stringstream& msg)
{
    if (UseFile == nullptr && useFile != nullptr && useFile->is_open()) {
        UseFile = useFile;
        Fit.UseFile = useFile;
        *UseFile << "Veltramodels20200612::InterpolateData\n";
    }

    bool ok = checkArrays(msg);
    const size_t nx = xData ? xData->size() : 0;

    if (static_cast<unsigned>(x_DataOption) > 1u) {
        msg << "x_DataOption must be an integer in the range [0,1].\n";
        ok = false;
    }
    if (x_DataOption == 1 && (x_Data == nullptr || x_Data->empty())) {
        msg << "x_Data array size must be > 0.\n";
        ok = false;
    }
    if (x_DataOption == 0) {
        // Written as negated comparisons so that NaN settings fail too.
        if (!(x_Step > 0.0)) {
            msg << "x_Step must be > 0.\n";
            ok = false;
        }
        if (nx > 0 && !(x_Start >= (*xData)[0])) {
            msg << "x_Start must be >= xData[0].\n";
            ok = false;
        }
        if (nPtsOut <= 0) {
            msg << "nPtsOut must be an integer > 0.\n";
            ok = false;
        }
        if (ok && x_Start + double(nPtsOut - 1) * x_Step > xData->back() + 0.001 * x_Step) {
            msg << "x_Start + double(nPtsOut-1)*x_Step > xData[0][ int(xData.size()) - 1].\n";
            ok = false;
        }
    }
    if (static_cast<unsigned>(UseLogX) > 1u) {
        msg << "UseLogX must be an integer in the range [0,1].\n";
        ok = false;
    }
    if (static_cast<unsigned>(InterpolationType) > 2u) {
        msg << "InterpolationType must be an integer in the range [0,2].\n";
        ok = false;
    }
    if (static_cast<unsigned>(DifferentiateData) > 1u) {
        msg << "DifferentiateData must be an integer in the range [0,1].\n";
        ok = false;
    }
    if (x_DataOption == 0 && DifferentiateData == 1 && StepData == 1) {
        if (static_cast<unsigned>(ScaleByOneOverXStep) > 1u) {
            msg << "ScaleByOneOverXStep must be an integer in the range [0,1].\n";
            ok = false;
        }
        if (static_cast<unsigned>(ScaleForFinalValue) > 1u) {
            msg << "ScaleForFinalValue must be an integer in the range [0,1].\n";
            ok = false;
        }
    }
    if (static_cast<unsigned>(StepData) > 1u) {
        msg << "StepData must be an integer in the range [0,1].\n";
        return false;
    }

    // The outputs must have somewhere to go.
    if (yOut == nullptr) {
        msg << "yOut must not be a null pointer.\n";
        ok = false;
    }
    if (x_DataOption == 0 && x_Data == nullptr) {
        msg << "x_Data must not be a null pointer.\n";
        ok = false;
    }

    if (ok) {
        // Negated test: a NaN abscissa is not in ascending order either.
        const std::vector<double>& x = *xData;
        for (size_t k = 1; k < x.size(); ++k) {
            if (!(x[k] > x[k - 1])) {
                msg << "xData[" << k + 1 << "] = " << x[k] << "  <= xData[" << k << "] = " << x[k - 1]
                    << ". X-axis data must be in non-repeating ascending order.";
                return false;
            }
        }
    }
    return ok;
}

bool InterpolateData::Initialize(std::stringstream& msg)
{
    if (x_DataOption == 1) {
        if (x_Data == nullptr) {
            msg << "x_Data array size must be > 0.\n";
            return false;
        }
        return DoInterpolation(*x_Data, msg);
    }
    return DoInterpolation(nPtsOut, msg);
}

bool InterpolateData::DoInterpolation(int nPts, std::stringstream& msg)
{
    if (x_Data == nullptr) {
        msg << "x_Data must not be a null pointer.\n";
        return false;
    }
    if (!checkArrays(msg)) {
        return false;
    }
    const size_t n = nPts > 0 ? static_cast<size_t>(nPts) : 0;
    try {
        x_Data->resize(n);
    } catch (const std::exception&) {
        msg << kNoMemory;
        return false;
    }
    std::vector<double>& X = *x_Data;
    for (size_t i = 0; i < n; ++i) {
        X[i] = double(i) * x_Step + x_Start;
    }
    if (n > 0 && X[n - 1] > xData->back()) {
        X[n - 1] = xData->back();
    }

    const bool ok = DoInterpolation(X, msg);

    if (ok && DifferentiateData == 1 && StepData == 1) {
        std::vector<double>& y = *yOut;
        double sum = 0.0;
        for (double v : y) {
            sum += v;
        }
        // A step without rise (or a grid of one point) leaves nothing to
        // normalise: dividing by its zero sum would turn every sample into
        // NaN or infinity, so the plain differences are kept.
        if (sum != 0.0 && std::isfinite(sum)) {
            double a = (ScaleForFinalValue == 1 ? yData->back() : 1.0) / sum;
            if (ScaleByOneOverXStep == 1) {
                a = a / x_Step;
            }
            if (std::isfinite(a)) {
                for (double& v : y) {
                    v *= a;
                }
            }
        }
    }
    return ok;
}

bool InterpolateData::DoInterpolation(std::vector<double>& X, std::stringstream& msg)
{
    if (yOut == nullptr) {
        msg << "yOut must not be a null pointer.\n";
        return false;
    }
    if (!checkArrays(msg)) {
        return false;
    }
    const std::vector<double>& xd = *xData;
    const std::vector<double>& yd = *yData;
    const size_t n = xd.size();
    const size_t m = X.size();

    if (m == 0) {
        yOut->clear();
        return true;
    }
    x_Start = X[0];
    x_Step = (m > 1) ? X[1] - X[0] : X[0];

    // Private working abscissas: shifted to start at 0, then possibly mapped.
    if (SavedX == nullptr || SavedXSize != n) {
        DeleteBuffers();
        SavedX = new (std::nothrow) double[n];
        if (SavedX == nullptr) {
            msg << kNoMemory;
            return false;
        }
        SavedXSize = n;
    }
    double* u = SavedX;
    const double x0 = xd[0];
    xOffset = x0;
    u[0] = 0.0;
    for (size_t i = 1; i < n; ++i) {
        u[i] = xd[i] - x0;
    }
    double r = 1.0;
    if (UseLogX == 1) {
        r = ((u[1] < x_Step) ? u[1] : x_Step) / 2.718281828459045;
        for (size_t i = 1; i < n; ++i) {
            u[i] = std::log(u[i] / r);
        }
        u[0] = 0.25 * u[1];
    }
    LogReference = r;

    try {
        yOut->assign(m, 0.0);
    } catch (const std::exception&) {
        msg << kNoMemory;
        return false;
    }
    std::vector<double>& y = *yOut;

    const double last = u[n - 1];
    const double tol = (u[n - 1] - u[n - 2]) * 1e-6;
    const double delta = u[1] - u[0];
    const bool step = (StepData == 1);

    // Cubic coefficients of the previous point, reused while the stencil's
    // inputs stay the same (consecutive points in one interval).
    bool haveCoef = false;
    double prevIn[6] = {0, 0, 0, 0, 0, 0};
    double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;

    // The interval search moves forward with ascending output abscissas, so
    // one pass costs O(n + m). An abscissa before the current interval (a
    // non-ascending grid) steps the index back instead of reusing a wrong
    // interval.
    size_t h = 0;
    for (size_t j = 0; j < m; ++j) {
        const double tx = X[j] - x0;
        if (j == 0 && tx == 0.0) {
            y[0] = yd[0];
            continue;
        }
        const double t = (UseLogX == 1) ? std::log(tx / r) : tx;

        while (h > 0 && t <= u[h - 1]) {
            --h;
        }
        if (h < n && t > u[h] && t <= last + tol) {
            while (h < n && t > u[h]) {
                ++h;
            }
        }
        if (h > n - 1) {
            h = n - 1;
        }

        // At or past the end the curve holds its last value.
        if (t > last - tol) {
            h = n - 1;
            y[j] = yd[n - 1];
            continue;
        }
        if (u[h] == t) {
            y[j] = yd[h];
            continue;
        }

        // Four-point stencil around the interval (c1, c2).
        double c0, g0, c1, g1, c2, g2, c3, g3;
        if (h == 0) {
            c0 = u[0] - 2.0 * delta;
            g0 = step ? 0.0 : yd[0] - 2.0 * (yd[1] - yd[0]);
            c1 = u[0] - delta;
            g1 = step ? 0.0 : yd[0] - (yd[1] - yd[0]);
            c2 = u[0];
            g2 = yd[0];
            c3 = u[1];
            g3 = yd[1];
            // A step response is zero before it starts: below the ramp from
            // (u[0] - delta, 0) up to the first point nothing is extrapolated.
            if (step && t <= c1) {
                y[j] = 0.0;
                continue;
            }
        } else if (h == 1) {
            c0 = u[0] - delta;
            g0 = step ? 0.0 : 2.0 * yd[0] - yd[1];
            c1 = u[0];
            g1 = yd[0];
            c2 = u[1];
            g2 = yd[1];
            c3 = u[2];
            g3 = yd[2];
        } else if (h == n - 1) {
            c0 = u[h - 2];
            g0 = yd[h - 2];
            c1 = u[h - 1];
            g1 = yd[h - 1];
            c2 = u[h];
            g2 = yd[h];
            c3 = 2.0 * u[h] - u[h - 1];
            g3 = step ? yd[h] : 2.0 * yd[h] - yd[h - 1];
        } else {
            c0 = u[h - 2];
            g0 = yd[h - 2];
            c1 = u[h - 1];
            g1 = yd[h - 1];
            c2 = u[h];
            g2 = yd[h];
            c3 = u[h + 1];
            g3 = yd[h + 1];
        }

        const double linear = g1 + (g2 - g1) * (t - c1) / (c2 - c1);
        if (InterpolationType != 1 && InterpolationType != 2) {
            y[j] = linear;
            continue;
        }
        if (InterpolationType == 2) {
            // Abscissas spread over more than six decades make the Lagrange
            // form ill-conditioned.
            const double c[4] = {c0, c1, c2, c3};
            double lo = 0.0, hi = 0.0;
            bool first = true;
            for (int p = 0; p < 4; ++p) {
                for (int q = p + 1; q < 4; ++q) {
                    const double d = std::log10(std::fabs(c[p] - c[q]));
                    if (first) {
                        lo = hi = d;
                        first = false;
                    } else {
                        if (d < lo)
                            lo = d;
                        if (d > hi)
                            hi = d;
                    }
                }
            }
            if (hi - lo > 6.0) {
                y[j] = linear;
                continue;
            }
        }
        // Zeros or abrupt ordinate changes: the higher-order forms would ring.
        if (g0 == 0.0 || g1 == 0.0 || g2 == 0.0 || g3 == 0.0 || g1 / g0 > 2.0 || g0 / g1 > 2.0 ||
            g2 / g3 > 2.0 || g3 / g2 > 2.0) {
            y[j] = linear;
            continue;
        }
        if (InterpolationType == 2) {
            y[j] = Fit.LagrangeInterpolation_4Point(t, c0, g0, c1, g1, c2, g2, c3, g3);
            continue;
        }

        // Shape-preserving cubic in normalised coordinates: N(c0) = 1,
        // N(c1) = 2, which keeps the x-multiplied slope rows of the fit well
        // away from zero. Ordinates are shifted by J = 2*g0 - g1.
        const double K = c1 - 2.0 * c0;
        const double lambda = 1.0 / std::fabs(c1 - c0);
        const double n0 = (c0 + K) * lambda;
        const double n1 = (c1 + K) * lambda;
        const double n2 = (c2 + K) * lambda;
        const double n3 = (c3 + K) * lambda;
        const double J = 2.0 * g0 - g1;
        const double h0 = g0 - J, h1 = g1 - J, h2 = g2 - J, h3 = g3 - J;
        const double s = (h2 - h1) / (n2 - n1);
        const double s1 = 0.5 * (s + (h1 - h0) / (n1 - n0));
        const double s2 = 0.5 * (s + (h3 - h2) / (n3 - n2));
        const double in[6] = {n1, h1, n2, h2, s1, s2};
        bool same = haveCoef;
        for (int p = 0; same && p < 6; ++p) {
            same = (in[p] == prevIn[p]);
        }
        if (!same) {
            if (!Fit.ThirdOrderCoefficients_2Point(&a0, &a1, &a2, &a3, n1, h1, n2, h2, s1, s2)) {
                msg << "Interpolation of the data failed at x-axis value " << x0 + tx << ".";
                haveCoef = false;
                return false;
            }
            for (int p = 0; p < 6; ++p) {
                prevIn[p] = in[p];
            }
            haveCoef = true;
        }
        const double qn = (t + K) * lambda;
        const double R = ((a3 * qn + a2) * qn + a1) * qn + a0;
        if ((h1 < h2 && (R < h1 || R > h2)) || (h1 > h2 && (R < h2 || R > h1))) {
            y[j] = linear;  // the cubic would overshoot the interval's end values
        } else {
            y[j] = R + J;
        }
    }

    if (DifferentiateData == 1) {
        // In place, back to front: y[i] - y[i-1] of the undifferenced values.
        for (size_t i = m - 1; i > 0; --i) {
            y[i] = y[i] - y[i - 1];
        }
        y[0] = 0.0;
    }
    return true;
}

}  // namespace Veltramodels20200612
