#include "dsp/InterpolateData.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <new>

#include <emmintrin.h>

namespace Veltramodels20200612 {

namespace {

const char* const kNoMemory = "Not enough memory to interpolate the data.\n";

// Whether every x[k] is above x[k-1] (a not-a-number is not), two
// comparisons per SSE2 register (every x86-64 processor has them) without a
// branch per value; the caller looks for the first offender only if not.
bool strictlyAscending(const double* x, size_t n)
{
    __m128d all = _mm_castsi128_pd(_mm_set1_epi64x(-1));
    size_t k = 1;
    for (; k + 2 <= n; k += 2)
        all = _mm_and_pd(all, _mm_cmpgt_pd(_mm_loadu_pd(x + k), _mm_loadu_pd(x + k - 1)));
    bool ascending = _mm_movemask_pd(all) == 3;
    for (; k < n; ++k)
        ascending = ascending && x[k] > x[k - 1];
    return ascending;
}

// True when the stencil's abscissas spread over more than six decades, which
// makes the Lagrange form ill-conditioned.
bool spreadOverSixDecades(const double* c)
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
bool quotientsAboveTwo(__m128d inner, __m128d outer)
{
    const __m128d two = _mm_set1_pd(2.0);
    const __m128d over =
        _mm_or_pd(_mm_cmpgt_pd(_mm_div_pd(inner, outer), two), _mm_cmpgt_pd(_mm_div_pd(outer, inner), two));
    return _mm_movemask_pd(over) != 0;
}

// Zeros or abrupt ordinate changes (a neighbour more than twice the other),
// where the higher-order forms would ring: g1/g0, g2/g3, g0/g1 and g3/g2
// above 2. No quotient is formed with a zero ordinate.
bool wouldRing(const double* g)
{
    if (g[0] == 0.0 || g[1] == 0.0 || g[2] == 0.0 || g[3] == 0.0)
        return true;
    return quotientsAboveTwo(_mm_set_pd(g[2], g[1]), _mm_set_pd(g[3], g[0]));  // (g1, g2), (g0, g3)
}

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

    if (ok && !strictlyAscending(xData->data(), xData->size())) {
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
    // The settings in locals, which the stores into X cannot alias, and an
    // int index (n comes from an int): the loop vectorises. The same values.
    const double step = x_Step, start = x_Start;
    double* grid = X.data();
    for (int i = 0; i < static_cast<int>(n); ++i) {
        grid[i] = double(i) * step + start;
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

// Whether the plan was made for these abscissas, output abscissas and
// settings. The vectors are compared by content, bit for bit: callers refill
// them in place.
bool InterpolateData::samePlan(const std::vector<double>& X) const
{
    const Plan& p = plan;
    const std::vector<double>& xd = *xData;
    return p.valid && p.useLogX == UseLogX && p.interpolationType == InterpolationType &&
           p.stepData == StepData && p.xData.size() == xd.size() && p.grid.size() == X.size() &&
           std::memcmp(p.xData.data(), xd.data(), xd.size() * sizeof(double)) == 0 &&
           std::memcmp(p.grid.data(), X.data(), X.size() * sizeof(double)) == 0;
}

// The interval search for every output point, with what the abscissas alone
// settle: the point's kind and, for the Lagrange candidates, the quotients
// of the Lagrange form. The search moves forward with ascending output
// abscissas, so one pass costs O(n + m). An abscissa before the current
// interval (a non-ascending grid) steps the index back instead of reusing a
// wrong interval. False, with no plan left, when the memory cannot be had.
bool InterpolateData::makePlan(const std::vector<double>& X)
{
    Plan& p = plan;
    p.valid = false;
    const size_t n = xData->size();
    const size_t m = X.size();
    const double* u = SavedX;
    const double x0 = xOffset;
    const double r = LogReference;
    const double last = u[n - 1];
    const double tol = (u[n - 1] - u[n - 2]) * 1e-6;
    // Each point's interval index times eight plus its kind.
    std::vector<size_t> code;
    try {
        p.xData.assign(xData->begin(), xData->end());
        p.grid.assign(X.begin(), X.end());
        code.resize(m);
        p.t.resize(m);
        p.edgeQ.clear();
        p.first.clear();
        p.interiorQ.clear();
        p.rings.resize(n - 1);
        p.openPairs.resize(n);
    } catch (const std::exception&) {
        return false;
    }
    p.useLogX = UseLogX;
    p.interpolationType = InterpolationType;
    p.stepData = StepData;
    p.interior = 0;
    p.edge = 0;
    // The candidates are counted in a first pass, so that their room is
    // made once.
    size_t h = 0;
    for (size_t j = 0; j < m; ++j) {
        const double tx = X[j] - x0;
        p.t[j] = tx;
        if (j == 0 && tx == 0.0) {
            code[j] = Plan::kFirst;
            continue;
        }
        const double t = (UseLogX == 1) ? std::log(tx / r) : tx;
        p.t[j] = t;

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
        Plan::Kind kind;
        Stencil st;
        if (t > last - tol) {
            h = n - 1;
            kind = Plan::kEnd;
        } else if (u[h] == t) {
            kind = Plan::kExact;
        } else if (!stencilAround(h, t, st)) {
            kind = Plan::kZero;
        } else if (InterpolationType == 2 && !spreadOverSixDecades(st.c)) {
            kind = (h >= 2 && h + 2 <= n) ? Plan::kInterior : Plan::kEdge;
            ++(kind == Plan::kInterior ? p.interior : p.edge);
        } else {
            kind = Plan::kOther;
        }
        code[j] = h * 8 + kind;
    }
    // The interior candidates' abscissas in a row, for their quotients.
    std::vector<double> times;
    try {
        p.interiorQ.resize(48 * ((p.interior + 3) / 4));
        p.first.resize(p.interior);
        p.at.resize(p.interior);
        p.use.resize(p.interior);
        times.resize(p.interior);
        p.others.resize(m - p.interior);
        p.otherCode.resize(m - p.interior);
        p.edgeQ.resize(12 * p.edge);
    } catch (const std::exception&) {
        return false;
    }
    size_t i = 0, e = 0, o = 0;
    for (size_t j = 0; j < m; ++j) {
        const size_t hj = code[j] / 8;
        const size_t kind = code[j] % 8;
        if (kind == Plan::kInterior) {
            p.at[i] = j;
            times[i] = p.t[j];
            p.first[i++] = hj - 2;
            continue;
        }
        p.others[o] = j;
        p.otherCode[o++] = code[j];
        if (kind == Plan::kEdge) {
            Stencil st;
            stencilAround(hj, p.t[j], st);
            CurveFit::LagrangeQuotients_4Point(p.t[j], st.c, &p.edgeQ[12 * e++]);
        }
    }
    CurveFit::LagrangeQuotients_4Point(p.interior, times.data(), u, p.first.data(), p.interiorQ.data());
    p.valid = true;
    return true;
}

// For every pair of neighbouring ordinates (yData[k], yData[k+1]), nonzero
// where either is zero or one is more than twice the other: an interior
// stencil yData[h-2 .. h+1] would ring (see wouldRing) exactly where pair
// h-2 or pair h does. No quotient is formed with a zero ordinate.
//
// Most pairs of a smooth curve are settled without the divider: where both
// magnitudes are normal numbers and each is at most 1.5 times the other
// (the product rounded, at most half a unit in its last place above 1.5
// times), neither is zero and the exact quotients' magnitudes are below
// 1.5 * (1 + 2^-52) < 2, so neither rounded quotient is above 2. Where 1.5
// times the larger overflows, the smaller is at most the largest double,
// below 1.5 times the larger as well. Not-a-number fails every comparison
// and takes the quotients. The products go two pairs per SSE2 register
// (every x86-64 processor has them); the pairs they leave open are tested
// one by one after.
void InterpolateData::markRingingPairs()
{
    const size_t n = xData->size();
    const double* g = yData->data();
    unsigned char* rings = plan.rings.data();
    const __m128d noSign = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
    const __m128d smallestNormal = _mm_set1_pd(std::numeric_limits<double>::min());
    const __m128d threeHalves = _mm_set1_pd(1.5);
    // Four pairs at a time: 0 where the products settle them; the others,
    // few in a smooth curve, are listed to be tested after.
    const auto nearPairs = [&](const double* v) {
        const __m128d ma = _mm_and_pd(_mm_loadu_pd(v), noSign), mb = _mm_and_pd(_mm_loadu_pd(v + 1), noSign);
        return _mm_movemask_pd(
            _mm_and_pd(_mm_and_pd(_mm_cmpge_pd(ma, smallestNormal), _mm_cmpge_pd(mb, smallestNormal)),
                       _mm_and_pd(_mm_cmple_pd(mb, _mm_mul_pd(ma, threeHalves)),
                                  _mm_cmple_pd(ma, _mm_mul_pd(mb, threeHalves)))));
    };
    size_t* open = plan.openPairs.data();
    size_t opened = 0;
    size_t k = 0;
    for (; k + 5 <= n; k += 4) {  // pairs k .. k + 3
        const int near = nearPairs(g + k) | nearPairs(g + k + 2) << 2;
        std::memset(rings + k, 0, 4);
        if (near != 15) {
            for (int l = 0; l < 4; ++l)
                if ((near & 1 << l) == 0)
                    open[opened++] = k + l;
        }
    }
    for (; k + 2 <= n; ++k)
        open[opened++] = k;
    for (size_t i = 0; i < opened; ++i) {
        const size_t o = open[i];
        const double a = g[o], b = g[o + 1];
        rings[o] = a == 0.0 || b == 0.0 || b / a > 2.0 || a / b > 2.0;
    }
}

// Every output point: the plan for the abscissas (made when they or the
// settings are new), then the values from the ordinates.
bool InterpolateData::interpolateAll(const std::vector<double>& X, std::stringstream& msg)
{
    if (!samePlan(X) && !makePlan(X)) {
        msg << kNoMemory;
        return false;
    }
    Plan& p = plan;
    const std::vector<double>& yd = *yData;
    const double* g = yd.data();
    const size_t n = xData->size();
    std::vector<double>& y = *yOut;
    double* out = y.data();

    // The interior candidates: the Lagrange value where their stencil would
    // not ring, computed all together, else the value in the interval. They
    // come only with the Lagrange form, which keeps no state from point to
    // point (no cubic coefficients) and cannot fail: their order against
    // the other points does not matter.
    CubicCache cache;
    Stencil st;
    // The value in point j's interval where the Lagrange form does not give
    // it; false, with the message, when the cubic's coefficients cannot be
    // found.
    const auto inInterval = [&](size_t j, double t) {
        if (valueInInterval(st, t, cache, &out[j]))
            return true;
        msg << "Interpolation of the data failed at x-axis value " << xOffset + (X[j] - xOffset) << ".";
        return false;
    };
    // The count in a local: the byte stores below could otherwise alias it.
    const size_t interior = p.interior;
    if (interior > 0) {
        markRingingPairs();
        const unsigned char* rings = p.rings.data();
        const size_t* first = p.first.data();
        unsigned char* use = p.use.data();
        for (size_t i = 0; i < interior; ++i)
            use[i] = !(rings[first[i]] | rings[first[i] + 2]);
        const size_t* at = p.at.data();
        Fit.LagrangeFromQuotients_4Point(interior, p.interiorQ.data(), g, first, use, at, out);
        const double* ts = p.t.data();
        for (size_t i = 0; i < interior; ++i) {
            if (use[i] != 0)
                continue;
            const size_t j = at[i];
            stencilAround(first[i] + 2, ts[j], st);
            if (!inInterval(j, ts[j]))
                return false;
        }
    }

    const size_t* code = p.otherCode.data();
    const double* ts = p.t.data();
    const double* edgeQ = p.edgeQ.data();
    for (size_t o = 0; o < p.others.size(); ++o) {
        const size_t j = p.others[o];
        const size_t h = code[o] / 8;
        const double t = ts[j];
        switch (code[o] % 8) {
        case Plan::kFirst:
            out[j] = g[0];
            continue;
        case Plan::kEnd:
            out[j] = g[n - 1];
            continue;
        case Plan::kExact:
            out[j] = g[h];
            continue;
        case Plan::kZero:
            out[j] = 0.0;
            continue;
        case Plan::kEdge:
            stencilAround(h, t, st);
            if (!wouldRing(st.g)) {
                out[j] = Fit.LagrangeFromQuotients_4Point(edgeQ, st.g);
                edgeQ += 12;
                continue;
            }
            edgeQ += 12;
            break;
        default:
            stencilAround(h, t, st);
            break;
        }
        if (!inInterval(j, t))
            return false;
    }
    return true;
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
