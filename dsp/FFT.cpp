#include "dsp/FFT.h"

#include <cmath>
#include <utility>

namespace Veltramodels20200612 {

namespace {

// The largest power of two a signed 32-bit length can hold.
const std::size_t kMaxLength = std::size_t(1) << 30;

// Stages whose butterfly span fits in this many points are run chunk by
// chunk, so that a chunk passes through all of them while it sits in cache.
const int kChunk = 1 << 12;

// sin(pi) as a double: the first stage's sine, used as a constant.
const double kSinPi = 1.2246467991473532e-16;

const double kPi = 3.14159265358979323846;

// One butterfly stage with half-span mmax over the points [begin, end).
// Every butterfly computes t = w * a[j], a[j] = a[i] - t, a[i] = a[i] + t with
// a full complex product. For the inverse the conjugate twiddle is used;
// 0.0 - wi keeps a zero imaginary part +0.0 as the inverse recurrence has it.
template <bool Inverse>
void butterflyStage(double* a, int begin, int end, int mmax, const double* wRe, const double* wIm)
{
    const int step = 2 * mmax;
    for (int k = begin; k < end; k += step) {
        double* lo = a + 2 * static_cast<std::ptrdiff_t>(k);
        double* hi = lo + 2 * static_cast<std::ptrdiff_t>(mmax);
        for (int m = 0; m < mmax; ++m) {
            const double wr = wRe[m];
            const double wi = Inverse ? 0.0 - wIm[m] : wIm[m];
            const double ar = hi[2 * m];
            const double ai = hi[2 * m + 1];
            const double tr = wr * ar - wi * ai;
            const double ti = wr * ai + wi * ar;
            const double ur = lo[2 * m];
            const double ui = lo[2 * m + 1];
            hi[2 * m] = ur - tr;
            hi[2 * m + 1] = ui - ti;
            lo[2 * m] = ur + tr;
            lo[2 * m + 1] = ui + ti;
        }
    }
}

// One butterfly of the stage, on the points at lo and hi, with twiddle (wr, wi).
inline void butterfly(double* lo, double* hi, double wr, double wi)
{
    const double ar = hi[0];
    const double ai = hi[1];
    const double tr = wr * ar - wi * ai;
    const double ti = wr * ai + wi * ar;
    const double ur = lo[0];
    const double ui = lo[1];
    hi[0] = ur - tr;
    hi[1] = ui - ti;
    lo[0] = ur + tr;
    lo[1] = ui + ti;
}

// Two consecutive stages, half-spans mmax and 2 * mmax, in one pass over the
// data: the four points m, m + mmax, m + 2 mmax, m + 3 mmax of a 4 mmax block
// go through both stages while they are loaded. Each butterfly is the same as
// in two separate passes, so the results are too.
template <bool Inverse>
void butterflyStagePair(double* a, int n, int mmax, const double* wRe1, const double* wIm1,
                        const double* wRe2, const double* wIm2)
{
    const std::ptrdiff_t q = 2 * static_cast<std::ptrdiff_t>(mmax);
    for (int k = 0; k < n; k += 4 * mmax) {
        double* p0 = a + 2 * static_cast<std::ptrdiff_t>(k);
        for (int m = 0; m < mmax; ++m) {
            double* x0 = p0 + 2 * m;
            double* x1 = x0 + q;
            double* x2 = x1 + q;
            double* x3 = x2 + q;
            const double w1r = wRe1[m];
            const double w1i = Inverse ? 0.0 - wIm1[m] : wIm1[m];
            butterfly(x0, x1, w1r, w1i);
            butterfly(x2, x3, w1r, w1i);
            const double w2r = wRe2[m];
            const double w2i = Inverse ? 0.0 - wIm2[m] : wIm2[m];
            const double w3r = wRe2[m + mmax];
            const double w3i = Inverse ? 0.0 - wIm2[m + mmax] : wIm2[m + mmax];
            butterfly(x0, x2, w2r, w2i);
            butterfly(x1, x3, w3r, w3i);
        }
    }
}

// The stages with half-span firstSpan and up (1 = every stage). The order in
// which independent butterflies run does not change any of them, so
// starting later only leaves out the earlier stages.
template <bool Inverse>
void butterflies(double* a, int n, const double* wRe, const double* wIm, int firstSpan = 1)
{
    const int chunk = n < kChunk ? n : kChunk;
    if (firstSpan < chunk)
        for (int base = 0; base < n; base += chunk)
            for (int mmax = firstSpan; mmax < chunk; mmax *= 2)
                butterflyStage<Inverse>(a, base, base + chunk, mmax, wRe + (mmax - 1), wIm + (mmax - 1));
    // The long stages stream through the whole array; pair them to halve the
    // passes over memory.
    int mmax = firstSpan < chunk ? chunk : firstSpan;
    for (; 2 * mmax < n; mmax *= 4)
        butterflyStagePair<Inverse>(a, n, mmax, wRe + (mmax - 1), wIm + (mmax - 1), wRe + (2 * mmax - 1),
                                    wIm + (2 * mmax - 1));
    if (mmax < n)
        butterflyStage<Inverse>(a, 0, n, mmax, wRe + (mmax - 1), wIm + (mmax - 1));
}

// Fills the twiddles w_0 .. w_{mmax-1} of one stage by the recurrence
// w <- w + w * wp, wp = (cos(theta) - 1, sin(theta)), starting from w = 1.
void stageTwiddles(int mmax, double cosTheta, double sinTheta, double* wRe, double* wIm)
{
    const double wpr = cosTheta - 1.0;
    const double wpi = sinTheta;
    double wr = 1.0;
    double wi = 0.0;
    for (int m = 0; m < mmax; ++m) {
        wRe[m] = wr;
        wIm[m] = wi;
        const double pr = wr * wpr - wi * wpi;
        const double pi = wr * wpi + wi * wpr;
        wr = wr + pr;
        wi = wi + pi;
    }
}

// Builds the twiddle table of one direction (s = +1 forward, -1 inverse).
void buildTable(int n, double s, std::vector<double>& re, std::vector<double>& im)
{
    re.assign(n > 1 ? n - 1 : 0, 0.0);
    im.assign(n > 1 ? n - 1 : 0, 0.0);
    for (int mmax = 1; mmax < n; mmax *= 2) {
        double c;
        double sn;
        if (mmax == 1) {
            c = -1.0;
            sn = -s * kSinPi;
        } else {
            const double theta = -kPi / (s * mmax);
            c = std::cos(theta);
            sn = std::sin(theta);
        }
        stageTwiddles(mmax, c, sn, re.data() + (mmax - 1), im.data() + (mmax - 1));
    }
}

void swapPoints(double* a, int i, int j)
{
    std::swap(a[2 * static_cast<std::ptrdiff_t>(i)], a[2 * static_cast<std::ptrdiff_t>(j)]);
    std::swap(a[2 * static_cast<std::ptrdiff_t>(i) + 1], a[2 * static_cast<std::ptrdiff_t>(j) + 1]);
}

int reverseBits(int x, int bits)
{
    int r = 0;
    for (int b = 0; b < bits; ++b) {
        r = (r << 1) | (x & 1);
        x >>= 1;
    }
    return r;
}

// Visits every pair (i, rev(i)) of the bit-reversal permutation once: f(i, j)
// with i < j = rev(i) for the points that trade places, and f(i, i) for the
// points that stay.
template <typename F> void forEachReversalPair(int n, F f)
{
    int p = 0;
    while ((1 << p) < n)
        ++p;
    const int q = 5;
    if (p < 2 * q + 2) {
        // Short arrays: the reversed counter j is kept by subtracting the
        // leading bits and adding the next one.
        if (n >= 1)
            f(0, 0);
        int j = 0;
        for (int i = 1; i < n; ++i) {
            int m = n / 2;
            while (m > 0 && j >= m) {
                j -= m;
                m /= 2;
            }
            j += m;
            if (i <= j)
                f(i, j);
        }
        return;
    }
    // Long arrays: the same pairs, grouped for the cache. With i = (hi, mid, lo)
    // (q, p - 2q and q bits), rev(i) = (rev lo, rev mid, rev hi); for one pair of
    // middle parts all 2^q x 2^q pairs touch only 2 x 2^q short rows.
    const int midBits = p - 2 * q;
    const int side = 1 << q;
    int revQ[1 << q];
    for (int x = 0; x < side; ++x)
        revQ[x] = reverseBits(x, q);
    for (int mid = 0; mid < (1 << midBits); ++mid) {
        const int midRev = reverseBits(mid, midBits);
        if (midRev < mid)
            continue;
        for (int hi = 0; hi < side; ++hi) {
            for (int lo = 0; lo < side; ++lo) {
                const int i = (hi << (p - q)) | (mid << q) | lo;
                const int j = (revQ[lo] << (p - q)) | (midRev << q) | revQ[hi];
                // Between two different middle parts every pair is met once;
                // within a palindromic one, each pair only from its lower end.
                if (mid != midRev || i <= j)
                    f(i, j);
            }
        }
    }
}

// Bit-reversal permutation: point i trades places with point rev(i).
void bitReversal(double* a, int n)
{
    forEachReversalPair(n, [a](int i, int j) {
        if (i != j)
            swapPoints(a, i, j);
    });
}
}  // namespace

FFT::FFT()
    : FFT(nullptr)
{
}

FFT::FFT(std::ofstream* useFile)
    : useFile_(useFile),
      callCount_(0),
      tableSize_(0),
      inverseIsConjugate_(true)
{
}

bool FFT::isValidLength(std::size_t n)
{
    return n >= 1 && n <= kMaxLength && (n & (n - 1)) == 0;
}

void FFT::restartUseLog(std::ofstream* useFile)
{
    useFile_ = useFile;
    callCount_ = 0;
}

void FFT::prepareTables(int n)
{
    if (tableSize_ == n)
        return;
    buildTable(n, 1.0, twiddleRe_, twiddleIm_);

    // The inverse stages use theta = +pi/mmax. Their recurrence reproduces the
    // forward one with every sine negated, exactly, as long as cos and sin of
    // the negated angles are exactly symmetric; otherwise keep a table of its own.
    inverseIsConjugate_ = true;
    for (int mmax = 2; mmax < n; mmax *= 2) {
        const double fwd = -kPi / (1.0 * mmax);
        const double inv = -kPi / (-1.0 * mmax);
        if (std::cos(fwd) != std::cos(inv) || std::sin(fwd) != -std::sin(inv)) {
            inverseIsConjugate_ = false;
            break;
        }
    }
    if (inverseIsConjugate_) {
        inverseRe_.clear();
        inverseIm_.clear();
        inverseRe_.shrink_to_fit();
        inverseIm_.shrink_to_fit();
    } else {
        buildTable(n, -1.0, inverseRe_, inverseIm_);
    }
    tableSize_ = n;
}

void FFT::transform(double* a, int n, bool inverse) const
{
    bitReversal(a, n);
    butterflyPasses(a, n, inverse, 1);
}

void FFT::butterflyPasses(double* a, int n, bool inverse, int firstSpan) const
{
    if (!inverse)
        butterflies<false>(a, n, twiddleRe_.data(), twiddleIm_.data(), firstSpan);
    else if (inverseIsConjugate_)
        butterflies<true>(a, n, twiddleRe_.data(), twiddleIm_.data(), firstSpan);
    else
        butterflies<false>(a, n, inverseRe_.data(), inverseIm_.data(), firstSpan);
}

void FFT::ComplexFFTOfShortReal(const double* x, std::size_t count, std::vector<std::complex<double>>& data,
                                int direction)
{
    const std::size_t n = data.size();
    // The first stages can be written down only for inputs whose every value
    // is finite and not -0 (see below); anything else takes the plain road.
    bool plain = !isValidLength(n) || count > n || n < 2;
    for (std::size_t j = 0; j < count && !plain; ++j)
        plain = !std::isfinite(x[j]) || (x[j] == 0.0 && std::signbit(x[j]));
    int inputBits = 0;
    while ((std::size_t(1) << inputBits) < count)
        ++inputBits;
    int bits = 0;
    while ((std::size_t(1) << bits) < n)
        ++bits;
    if (plain || inputBits >= bits) {
        data.assign(n, std::complex<double>(0.0, 0.0));
        for (std::size_t j = 0; j < count && j < n; ++j)
            data[j] = std::complex<double>(x[j], 0.0);
        ComplexFFT(data, direction);
        return;
    }

    if (callCount_ == 0 && useFile_ != nullptr && useFile_->is_open()) {
        *useFile_ << "Veltramodels20200612::FFT::ComplexFFT\n";
        useFile_->flush();
    }
    // After the permutation, input j (< 2^inputBits) sits at rev(j), a
    // multiple of span = n / 2^inputBits, and every other point is (+0, +0).
    // A stage of half-span below span pairs each point with a (+0, +0) one,
    // whose product with any finite twiddle is a zero of either sign; adding
    // or subtracting such a zero leaves a finite value that is not -0
    // unchanged, and keeps +0 imaginary parts at +0. So after those stages
    // the span points from rev(j) on all hold (x[j], +0) exactly, and the
    // points of inputs beyond count stay (+0, +0).
    const std::size_t span = n >> inputBits;
    std::complex<double>* a = data.data();
    for (std::size_t j = 0; j < (std::size_t(1) << inputBits); ++j) {
        const std::complex<double> v(j < count ? x[j] : 0.0, 0.0);
        std::complex<double>* block = a + bitReversedIndex(j, bits);
        for (std::size_t k = 0; k < span; ++k)
            block[k] = v;
    }
    const int ni = static_cast<int>(n);
    prepareTables(ni);
    double* d = reinterpret_cast<double*>(a);
    butterflyPasses(d, ni, direction != 1, static_cast<int>(span));
    if (direction == 1) {
        const double scale = 1.0 / ni;
        for (std::ptrdiff_t i = 0; i < 2 * static_cast<std::ptrdiff_t>(ni); ++i)
            d[i] *= scale;
    }
    ++callCount_;
}

std::size_t FFT::bitReversedIndex(std::size_t k, int bits)
{
    std::size_t r = 0;
    for (int b = 0; b < bits; ++b) {
        r = (r << 1) | (k & 1);
        k >>= 1;
    }
    return r;
}

void FFT::multiplyBitReversed(std::vector<std::complex<double>>& data,
                              const std::vector<std::complex<double>>& factor)
{
    if (!isValidLength(data.size()) || factor.size() != data.size())
        return;
    std::complex<double>* a = data.data();
    const std::complex<double>* b = factor.data();
    forEachReversalPair(static_cast<int>(data.size()), [a, b](int i, int j) {
        std::complex<double> pi = a[i];
        pi *= b[i];
        if (i == j) {
            a[i] = pi;
            return;
        }
        std::complex<double> pj = a[j];
        pj *= b[j];
        a[i] = pj;
        a[j] = pi;
    });
}

void FFT::ComplexFFTBitReversed(std::vector<std::complex<double>>& data, int direction)
{
    if (callCount_ == 0 && useFile_ != nullptr && useFile_->is_open()) {
        *useFile_ << "Veltramodels20200612::FFT::ComplexFFT\n";
        useFile_->flush();
    }
    if (isValidLength(data.size())) {
        const int n = static_cast<int>(data.size());
        prepareTables(n);
        double* a = reinterpret_cast<double*>(data.data());
        butterflyPasses(a, n, direction != 1, 1);
        if (direction == 1) {
            const double scale = 1.0 / n;
            for (std::ptrdiff_t i = 0; i < 2 * static_cast<std::ptrdiff_t>(n); ++i)
                a[i] *= scale;
        }
    }
    ++callCount_;
}

void FFT::ComplexFFT(std::vector<std::complex<double>>& data, int direction)
{
    if (callCount_ == 0 && useFile_ != nullptr && useFile_->is_open()) {
        *useFile_ << "Veltramodels20200612::FFT::ComplexFFT\n";
        useFile_->flush();
    }

    // Only power-of-two lengths are defined for this radix-2 transform; any
    // other length is left as it is rather than read or written out of range.
    if (isValidLength(data.size())) {
        const int n = static_cast<int>(data.size());
        prepareTables(n);
        // std::complex<double> is laid out as two doubles (real, imaginary).
        double* a = reinterpret_cast<double*>(data.data());
        transform(a, n, direction != 1);
        if (direction == 1) {
            const double scale = 1.0 / n;
            for (std::ptrdiff_t i = 0; i < 2 * static_cast<std::ptrdiff_t>(n); ++i)
                a[i] *= scale;
        }
    }
    ++callCount_;
}

}  // namespace Veltramodels20200612
