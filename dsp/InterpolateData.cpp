#include "dsp/InterpolateData.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <new>

#include <emmintrin.h>

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
    const size_t m = X.size();
    if (m == 0) {
        yOut->clear();
        return true;
    }
    x_Start = X[0];
    x_Step = (m > 1) ? X[1] - X[0] : X[0];
    if (!prepareAbscissas(msg))
        return false;
    try {
        yOut->assign(m, 0.0);
    } catch (const std::exception&) {
        msg << kNoMemory;
        return false;
    }
    if (!interpolateAll(X, msg))
        return false;
    if (DifferentiateData == 1) {
        // In place, back to front: y[i] - y[i-1] of the undifferenced values.
        std::vector<double>& y = *yOut;
        for (size_t i = m - 1; i > 0; --i) {
            y[i] = y[i] - y[i - 1];
        }
        y[0] = 0.0;
    }
    return true;
}

// Private working abscissas: shifted to start at 0, then possibly mapped.
bool InterpolateData::prepareAbscissas(std::stringstream& msg)
{
    const std::vector<double>& xd = *xData;
    const size_t n = xd.size();
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
    return true;
}

// Every output point: the interval search and the value in it.
bool InterpolateData::interpolateAll(const std::vector<double>& X, std::stringstream& msg)
{
    const std::vector<double>& yd = *yData;
    const size_t n = xData->size();
    const size_t m = X.size();
    const double* u = SavedX;
    const double x0 = xOffset;
    const double r = LogReference;
    std::vector<double>& y = *yOut;
    const double last = u[n - 1];
    const double tol = (u[n - 1] - u[n - 2]) * 1e-6;
    CubicCache cache;
    // Room for every point when the Lagrange form is chosen; none of an
    // earlier run's points is left either way.
    if (!reserveLagrangePoints(InterpolationType == 2 ? m : 0) || !markLagrangeIntervals()) {
        msg << kNoMemory;
        return false;
    }
    const unsigned char* lagrangeSure = lagrangeIntervals.data();
    // The Lagrange points' arrays by pointer: stores through them could
    // otherwise alias the vectors, which would be reloaded at every point.
    std::size_t* lagrangeAt = lagrange.at.data();
    double* lagrangeT = lagrange.t.data();
    double* const lagrangeC[4] = {lagrange.c[0].data(), lagrange.c[1].data(), lagrange.c[2].data(),
                                  lagrange.c[3].data()};
    double* const lagrangeG[4] = {lagrange.g[0].data(), lagrange.g[1].data(), lagrange.g[2].data(),
                                  lagrange.g[3].data()};
    std::size_t lagrangeCount = 0;
    // Room for every point was made above.
    const auto addLagrangePoint = [&](std::size_t j, double t, const double* c, const double* g) {
        const std::size_t i = lagrangeCount++;
        lagrangeAt[i] = j;
        lagrangeT[i] = t;
        for (int k = 0; k < 4; ++k) {
            lagrangeC[k][i] = c[k];
            lagrangeG[k][i] = g[k];
        }
    };

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
        // An interval sorted out beforehand has the interior stencil
        // u[h-2 .. h+1].
        if (h >= 2 && h + 2 <= n && lagrangeSure[h] != 0) {
            addLagrangePoint(j, t, u + h - 2, yd.data() + h - 2);
            continue;
        }
        Stencil st;
        if (!stencilAround(h, t, st)) {
            y[j] = 0.0;
            continue;
        }
        if (lagrangeApplies(st)) {
            addLagrangePoint(j, t, st.c, st.g);
            continue;
        }
        if (!valueInInterval(st, t, cache, &y[j])) {
            msg << "Interpolation of the data failed at x-axis value " << x0 + tx << ".";
            return false;
        }
    }
    lagrange.count = lagrangeCount;
    evaluateLagrangePoints(y);
    return true;
}

// Empties the Lagrange points and makes room for count of them. False when
// the memory cannot be had.
bool InterpolateData::reserveLagrangePoints(std::size_t count)
{
    LagrangePoints& p = lagrange;
    p.count = 0;
    try {
        if (p.at.size() < count)
            p.at.resize(count);
        for (std::vector<double>* v :
             {&p.t, &p.value, &p.c[0], &p.c[1], &p.c[2], &p.c[3], &p.g[0], &p.g[1], &p.g[2], &p.g[3]})
            if (v->size() < count)
                v->resize(count);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

void InterpolateData::evaluateLagrangePoints(std::vector<double>& y)
{
    LagrangePoints& p = lagrange;
    if (p.count == 0)
        return;
    const double* const c[4] = {p.c[0].data(), p.c[1].data(), p.c[2].data(), p.c[3].data()};
    const double* const g[4] = {p.g[0].data(), p.g[1].data(), p.g[2].data(), p.g[3].data()};
    Fit.LagrangeInterpolation_4Point(p.count, p.t.data(), c, g, p.value.data());
    for (std::size_t i = 0; i < p.count; ++i)
        y[p.at[i]] = p.value[i];
}

// Four-point stencil around the interval (c1, c2] that ends at u[h]. Before
// the first point and after the last the stencil is extended by one interval
// (the first data interval's width at the start); step data are zero before
// the start and hold their final value after the end. False where a step
// response is zero: below the ramp from (u[0] - delta, 0) up to the first
// point nothing is extrapolated.
bool InterpolateData::stencilAround(size_t h, double t, Stencil& s) const
{
    const std::vector<double>& yd = *yData;
    const size_t n = xData->size();
    const double* u = SavedX;
    const double delta = u[1] - u[0];
    const bool step = (StepData == 1);
    if (h == 0) {
        s.c[0] = u[0] - 2.0 * delta;
        s.g[0] = step ? 0.0 : yd[0] - 2.0 * (yd[1] - yd[0]);
        s.c[1] = u[0] - delta;
        s.g[1] = step ? 0.0 : yd[0] - (yd[1] - yd[0]);
        s.c[2] = u[0];
        s.g[2] = yd[0];
        s.c[3] = u[1];
        s.g[3] = yd[1];
        return !(step && t <= s.c[1]);
    }
    if (h == 1) {
        s.c[0] = u[0] - delta;
        s.g[0] = step ? 0.0 : 2.0 * yd[0] - yd[1];
        s.c[1] = u[0];
        s.g[1] = yd[0];
        s.c[2] = u[1];
        s.g[2] = yd[1];
        s.c[3] = u[2];
        s.g[3] = yd[2];
        return true;
    }
    s.c[0] = u[h - 2];
    s.g[0] = yd[h - 2];
    s.c[1] = u[h - 1];
    s.g[1] = yd[h - 1];
    s.c[2] = u[h];
    s.g[2] = yd[h];
    if (h == n - 1) {
        s.c[3] = 2.0 * u[h] - u[h - 1];
        s.g[3] = step ? yd[h] : 2.0 * yd[h] - yd[h - 1];
    } else {
        s.c[3] = u[h + 1];
        s.g[3] = yd[h + 1];
    }
    return true;
}

// True when the stencil's abscissas spread over more than six decades, which
// makes the Lagrange form ill-conditioned.
static bool spreadOverSixDecades(const double* c)
{
    // The spread is log10(largest distance) - log10(smallest). Away from six
    // decades the distances' ratio settles it without the logarithms: a
    // margin of 1e-9 is far beyond the logarithms' rounding (about 1e-13
    // here). Near the threshold, and for zero, infinite or NaN distances,
    // the logarithms are taken as the threshold is defined.
    double smallest = std::fabs(c[0] - c[1]), largest = smallest;
    for (int p = 0; p < 4; ++p) {
        for (int q = p + 1; q < 4; ++q) {
            const double d = std::fabs(c[p] - c[q]);
            smallest = std::min(smallest, d);
            largest = std::max(largest, d);
        }
    }
    const double ratio = largest / smallest;
    if (smallest > 0.0 && std::isfinite(ratio)) {
        if (ratio < 1e6 * (1.0 - 1e-9))
            return false;
        if (ratio > 1e6 * (1.0 + 1e-9))
            return true;
    }
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
    return hi - lo > 6.0;
}

// Whether inner/outer or outer/inner is above 2 in either lane: four
// quotients through the divider two at a time in SSE2 registers (every
// x86-64 processor has them), each the same correctly rounded quotient as
// alone.
static bool quotientsAboveTwo(__m128d inner, __m128d outer)
{
    const __m128d two = _mm_set1_pd(2.0);
    const __m128d over =
        _mm_or_pd(_mm_cmpgt_pd(_mm_div_pd(inner, outer), two), _mm_cmpgt_pd(_mm_div_pd(outer, inner), two));
    return _mm_movemask_pd(over) != 0;
}

// Zeros or abrupt ordinate changes (a neighbour more than twice the other),
// where the higher-order forms would ring: g1/g0, g2/g3, g0/g1 and g3/g2
// above 2. No quotient is formed with a zero ordinate.
static bool wouldRing(const double* g)
{
    if (g[0] == 0.0 || g[1] == 0.0 || g[2] == 0.0 || g[3] == 0.0)
        return true;
    return quotientsAboveTwo(_mm_set_pd(g[2], g[1]), _mm_set_pd(g[3], g[0]));  // (g1, g2), (g0, g3)
}

// For every interval (u[h-1], u[h]] with an interior stencil (2 <= h <= n-2:
// abscissas u[h-2 .. h+1], ordinates yData[h-2 .. h+1]), nonzero where the
// Lagrange form certainly applies, as lagrangeApplies would find: the
// abscissas' spread is clearly below six decades and nothing would ring.
// Two intervals per SSE2 register (every x86-64 processor has them), by the
// same differences, extremes, quotients and comparisons as the one-stencil
// tests; zero wherever a distance is not a number or the spread is near
// the threshold, which leaves those to lagrangeApplies. All zero unless the
// Lagrange form is chosen. False when the memory cannot be had.
bool InterpolateData::markLagrangeIntervals()
{
    const std::size_t n = xData->size();
    try {
        lagrangeIntervals.assign(n, 0);
    } catch (const std::exception&) {
        return false;
    }
    if (InterpolationType != 2 || n < 4)
        return true;
    const double* u = SavedX;
    const double* g = yData->data();
    const __m128d noSign = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
    const __m128d zero = _mm_setzero_pd();
    const __m128d quickBound = _mm_set1_pd(1e6 * (1.0 - 1e-9));
    for (std::size_t h = 2; h + 3 <= n; h += 2) {  // intervals h and h + 1, both <= n - 2
        const __m128d c[4] = {_mm_loadu_pd(u + h - 2), _mm_loadu_pd(u + h - 1), _mm_loadu_pd(u + h),
                              _mm_loadu_pd(u + h + 1)};
        const __m128d y0 = _mm_loadu_pd(g + h - 2), y1 = _mm_loadu_pd(g + h - 1);
        const __m128d y2 = _mm_loadu_pd(g + h), y3 = _mm_loadu_pd(g + h + 1);
        __m128d smallest = _mm_and_pd(_mm_sub_pd(c[0], c[1]), noSign), largest = smallest;
        __m128d numbers = _mm_cmpeq_pd(smallest, smallest);
        for (int p = 0; p < 4; ++p) {
            for (int q = p + 1; q < 4; ++q) {
                const __m128d d = _mm_and_pd(_mm_sub_pd(c[p], c[q]), noSign);
                numbers = _mm_and_pd(numbers, _mm_cmpeq_pd(d, d));
                smallest = _mm_min_pd(smallest, d);
                largest = _mm_max_pd(largest, d);
            }
        }
        const __m128d narrow =
            _mm_and_pd(_mm_cmpgt_pd(smallest, zero), _mm_cmplt_pd(_mm_div_pd(largest, smallest), quickBound));
        const __m128d nonzero = _mm_and_pd(_mm_and_pd(_mm_cmpneq_pd(y0, zero), _mm_cmpneq_pd(y1, zero)),
                                           _mm_and_pd(_mm_cmpneq_pd(y2, zero), _mm_cmpneq_pd(y3, zero)));
        const int sure = _mm_movemask_pd(_mm_and_pd(_mm_and_pd(numbers, narrow), nonzero));
        lagrangeIntervals[h] =
            (sure & 1) != 0 && !quotientsAboveTwo(_mm_unpacklo_pd(y1, y2), _mm_unpacklo_pd(y0, y3));
        lagrangeIntervals[h + 1] =
            (sure & 2) != 0 && !quotientsAboveTwo(_mm_unpackhi_pd(y1, y2), _mm_unpackhi_pd(y0, y3));
    }
    return true;
}

// Whether the point goes to the 4-point Lagrange form: chosen, and neither
// ill-conditioned nor ringing there.
bool InterpolateData::lagrangeApplies(const Stencil& s) const
{
    return InterpolationType == 2 && !spreadOverSixDecades(s.c) && !wouldRing(s.g);
}

// The value at t in the stencil's middle interval where the Lagrange form
// does not apply: the cubic form, or the linear one where the cubic would
// ring and for the other forms. False when the cubic's coefficients cannot
// be found.
bool InterpolateData::valueInInterval(const Stencil& s, double t, CubicCache& cache, double* value)
{
    const double* c = s.c;
    const double* g = s.g;
    const double linear = g[1] + (g[2] - g[1]) * (t - c[1]) / (c[2] - c[1]);
    *value = linear;
    if (InterpolationType != 1 || wouldRing(g))
        return true;

    // Shape-preserving cubic in normalised coordinates: N(c0) = 1,
    // N(c1) = 2, which keeps the x-multiplied slope rows of the fit well
    // away from zero. Ordinates are shifted by J = 2*g0 - g1.
    const double K = c[1] - 2.0 * c[0];
    const double lambda = 1.0 / std::fabs(c[1] - c[0]);
    const double n0 = (c[0] + K) * lambda;
    const double n1 = (c[1] + K) * lambda;
    const double n2 = (c[2] + K) * lambda;
    const double n3 = (c[3] + K) * lambda;
    const double J = 2.0 * g[0] - g[1];
    const double h0 = g[0] - J, h1 = g[1] - J, h2 = g[2] - J, h3 = g[3] - J;
    const double sl = (h2 - h1) / (n2 - n1);
    const double s1 = 0.5 * (sl + (h1 - h0) / (n1 - n0));
    const double s2 = 0.5 * (sl + (h3 - h2) / (n3 - n2));
    // The coefficients of the previous point are reused while the stencil's
    // inputs stay the same (consecutive points in one interval).
    const double in[6] = {n1, h1, n2, h2, s1, s2};
    bool same = cache.valid;
    for (int p = 0; same && p < 6; ++p) {
        same = (in[p] == cache.in[p]);
    }
    if (!same) {
        if (!Fit.ThirdOrderCoefficients_2Point(&cache.a[0], &cache.a[1], &cache.a[2], &cache.a[3], n1, h1, n2,
                                               h2, s1, s2)) {
            cache.valid = false;
            return false;
        }
        for (int p = 0; p < 6; ++p) {
            cache.in[p] = in[p];
        }
        cache.valid = true;
    }
    const double qn = (t + K) * lambda;
    const double R = ((cache.a[3] * qn + cache.a[2]) * qn + cache.a[1]) * qn + cache.a[0];
    // The cubic would overshoot the interval's end values: linear instead.
    if (!((h1 < h2 && (R < h1 || R > h2)) || (h1 > h2 && (R < h2 || R > h1))))
        *value = R + J;
    return true;
}

}  // namespace Veltramodels20200612
