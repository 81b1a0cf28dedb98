#include "dsp/RealFFT.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>

#include <immintrin.h>

namespace Veltramodels20200612 {

namespace {

const double kTwoPi = 6.283185307179586476925286766559;

// exp(-2 pi i j / n), from the angle of this index alone.
std::complex<double> unitRoot(std::size_t j, std::size_t n)
{
    const double angle = kTwoPi * static_cast<double>(j) / static_cast<double>(n);
    return std::complex<double>(std::cos(angle), -std::sin(angle));
}

// The complex product t = (wr xr - wi xi, wr xi + wi xr) of a root r = (wr,
// wi) and a value x, on the parts as the written-out form computes them:
// (wr xr, wr xi) + (-(wi xi), wi xr). One complex value per 128-bit lane.
inline __m128d rootTimes(__m128d r, __m128d x)
{
    const __m128d negateLow = _mm_set_pd(0.0, -0.0);
    const __m128d wr = _mm_unpacklo_pd(r, r);
    const __m128d wi = _mm_unpackhi_pd(r, r);
    const __m128d swapped = _mm_shuffle_pd(x, x, 1);  // (xi, xr)
    return _mm_add_pd(_mm_mul_pd(wr, x), _mm_xor_pd(_mm_mul_pd(wi, swapped), negateLow));
}

// Where root j of a butterfly table (Tables::twiddle) starts: its real part
// twice, and its imaginary part twice four doubles further on.
inline std::size_t partsAt(std::size_t j)
{
    return 4 * (j & ~std::size_t(1)) + 2 * (j & 1);
}

inline const double* rootParts(const double* w, std::size_t j)
{
    return w + partsAt(j);
}

// rootTimes with the root's parts already apart, as the butterfly tables
// hold them: the same operations on the same values.
inline __m128d partsTimes(const double* root, __m128d x)
{
    const __m128d negateLow = _mm_set_pd(0.0, -0.0);
    const __m128d swapped = _mm_shuffle_pd(x, x, 1);  // (xi, xr)
    return _mm_add_pd(_mm_mul_pd(_mm_loadu_pd(root), x),
                      _mm_xor_pd(_mm_mul_pd(_mm_loadu_pd(root + 4), swapped), negateLow));
}

// The butterflies from span `span` on, on SSE2 registers (part of every
// x86-64 processor): each value goes through the same products, sums and
// differences in the same order as in the written-out radix-2 form, so the
// results are the same to the bit. Two spans at a time (h, then 2h, on the
// same four values) halve the passes over the data. w: the butterfly table
// of the direction (conjugated for the inverse).
void laterSpansSse2(double* a, const double* w, std::size_t m, std::size_t span)
{
    for (; 2 * span < m; span *= 4) {
        for (std::size_t start = 0; start < m; start += 4 * span) {
            double* p0 = a + 2 * start;
            double* p1 = p0 + 2 * span;
            double* p2 = p1 + 2 * span;
            double* p3 = p2 + 2 * span;
            for (std::size_t j = 0; j < span; ++j) {
                const double* r1 = rootParts(w, span + j);
                const __m128d x0 = _mm_loadu_pd(p0 + 2 * j), x2 = _mm_loadu_pd(p2 + 2 * j);
                const __m128d t1 = partsTimes(r1, _mm_loadu_pd(p1 + 2 * j));
                const __m128d t3 = partsTimes(r1, _mm_loadu_pd(p3 + 2 * j));
                const __m128d b0 = _mm_add_pd(x0, t1), b1 = _mm_sub_pd(x0, t1);
                const __m128d b2 = _mm_add_pd(x2, t3), b3 = _mm_sub_pd(x2, t3);
                const __m128d t2 = partsTimes(rootParts(w, 2 * span + j), b2);
                const __m128d t4 = partsTimes(rootParts(w, 3 * span + j), b3);
                _mm_storeu_pd(p0 + 2 * j, _mm_add_pd(b0, t2));
                _mm_storeu_pd(p2 + 2 * j, _mm_sub_pd(b0, t2));
                _mm_storeu_pd(p1 + 2 * j, _mm_add_pd(b1, t4));
                _mm_storeu_pd(p3 + 2 * j, _mm_sub_pd(b1, t4));
            }
        }
    }
    if (span < m) {
        // An odd number of spans leaves the last one alone.
        double* lo = a;
        double* hi = lo + 2 * span;
        for (std::size_t j = 0; j < span; ++j) {
            const __m128d t = partsTimes(rootParts(w, span + j), _mm_loadu_pd(hi + 2 * j));
            const __m128d l = _mm_loadu_pd(lo + 2 * j);
            _mm_storeu_pd(hi + 2 * j, _mm_sub_pd(l, t));
            _mm_storeu_pd(lo + 2 * j, _mm_add_pd(l, t));
        }
    }
}

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#define VM_REALFFT_AVX 1
// The same butterflies two complex values at a time in 256-bit registers, for
// processors with AVX (chosen at run time). Every lane does what the SSE2
// form does, with no fused multiply-add, so both give the same bits. Not on
// Windows, where the compiler cannot rely on 32-byte stack alignment for
// spilled 256-bit values; the DLL takes the SSE2 form.
#define VM_AVX __attribute__((target("avx"), always_inline)) inline
// rootTimes two values at a time: (wr xr - wi xi, wr xi + wi xr) in one
// subtract-and-add, the same values as adding the negated product.
VM_AVX __m256d avxTimes(__m256d r, __m256d x)
{
    const __m256d wr = _mm256_unpacklo_pd(r, r);
    const __m256d wi = _mm256_unpackhi_pd(r, r);
    const __m256d swapped = _mm256_shuffle_pd(x, x, 5);  // (xi, xr) in each lane
    return _mm256_addsub_pd(_mm256_mul_pd(wr, x), _mm256_mul_pd(wi, swapped));
}
// The same product with the roots' parts already apart, as the butterfly
// tables hold them: (wr, wr) and (wi, wi) per value, so that only x is
// shuffled.
VM_AVX __m256d wideTimes(const double* root, __m256d x)
{
    const __m256d swapped = _mm256_shuffle_pd(x, x, 5);
    return _mm256_addsub_pd(_mm256_mul_pd(_mm256_loadu_pd(root), x),
                            _mm256_mul_pd(_mm256_loadu_pd(root + 4), swapped));
}
#undef VM_AVX

// Spans 1 and 2 together, as RealFFT::butterflies writes them out, four
// values (two registers) at a time: b0 = v0 + v1, b1 = v0 - v1,
// b2 = v2 + v3, b3 = v2 - v3, t = (sign b3i, -sign b3r), then b0 + b2,
// b1 + t, b0 - b2, b1 - t. With rev, the values are first gathered from
// x's pairs in that order (x[rev[i]] to a[i]); otherwise they are a's own.
__attribute__((target("avx"))) void firstSpansAvx(double* a, const double* x, const std::size_t* rev,
                                                  std::size_t m, double sign)
{
    const __m256d signs = _mm256_set_pd(-sign, sign, -sign, sign);
    for (std::size_t i = 0; i < m; i += 4) {
        double* p = a + 2 * i;
        __m256d A, B;
        if (rev != nullptr) {
            A = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(x + 2 * rev[i])),
                                     _mm_loadu_pd(x + 2 * rev[i + 1]), 1);
            B = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(x + 2 * rev[i + 2])),
                                     _mm_loadu_pd(x + 2 * rev[i + 3]), 1);
        } else {
            A = _mm256_loadu_pd(p);
            B = _mm256_loadu_pd(p + 4);
        }
        const __m256d even = _mm256_permute2f128_pd(A, B, 0x20);             // (v0, v2)
        const __m256d odd = _mm256_permute2f128_pd(A, B, 0x31);              // (v1, v3)
        const __m256d S = _mm256_add_pd(even, odd);                          // (b0, b2)
        const __m256d D = _mm256_sub_pd(even, odd);                          // (b1, b3)
        const __m256d T = _mm256_mul_pd(_mm256_shuffle_pd(D, D, 5), signs);  // t in the high half
        const __m256d U = _mm256_permute2f128_pd(S, D, 0x20);                // (b0, b1)
        const __m256d V = _mm256_permute2f128_pd(S, T, 0x31);                // (b2, t)
        _mm256_storeu_pd(p, _mm256_add_pd(U, V));
        _mm256_storeu_pd(p + 4, _mm256_sub_pd(U, V));
    }
}

// w: the butterfly table of the direction (Tables::twiddle or its
// conjugate).
__attribute__((target("avx"))) void laterSpansAvx(double* a, const double* w, std::size_t m, std::size_t span)
{
    // Spans of 4 and more: j runs over pairs.
    for (; 2 * span < m; span *= 4) {
        const double* w1 = w + 4 * span;
        const double* w2 = w + 8 * span;
        for (std::size_t start = 0; start < m; start += 4 * span) {
            double* p0 = a + 2 * start;
            double* p1 = p0 + 2 * span;
            double* p2 = p1 + 2 * span;
            double* p3 = p2 + 2 * span;
            for (std::size_t j = 0; j < span; j += 2) {
                const __m256d x0 = _mm256_loadu_pd(p0 + 2 * j), x2 = _mm256_loadu_pd(p2 + 2 * j);
                const __m256d t1 = wideTimes(w1 + 4 * j, _mm256_loadu_pd(p1 + 2 * j));
                const __m256d t3 = wideTimes(w1 + 4 * j, _mm256_loadu_pd(p3 + 2 * j));
                const __m256d b0 = _mm256_add_pd(x0, t1), b1 = _mm256_sub_pd(x0, t1);
                const __m256d b2 = _mm256_add_pd(x2, t3), b3 = _mm256_sub_pd(x2, t3);
                const __m256d t2 = wideTimes(w2 + 4 * j, b2);
                const __m256d t4 = wideTimes(w2 + 4 * (j + span), b3);
                _mm256_storeu_pd(p0 + 2 * j, _mm256_add_pd(b0, t2));
                _mm256_storeu_pd(p2 + 2 * j, _mm256_sub_pd(b0, t2));
                _mm256_storeu_pd(p1 + 2 * j, _mm256_add_pd(b1, t4));
                _mm256_storeu_pd(p3 + 2 * j, _mm256_sub_pd(b1, t4));
            }
        }
    }
    if (span < m) {
        const double* ws = w + 4 * span;
        double* lo = a;
        double* hi = lo + 2 * span;
        for (std::size_t j = 0; j < span; j += 2) {
            const __m256d t = wideTimes(ws + 4 * j, _mm256_loadu_pd(hi + 2 * j));
            const __m256d l = _mm256_loadu_pd(lo + 2 * j);
            _mm256_storeu_pd(hi + 2 * j, _mm256_sub_pd(l, t));
            _mm256_storeu_pd(lo + 2 * j, _mm256_add_pd(l, t));
        }
    }
}

// The spreading of InverseOfProduct's half spectrum (see inverseOf) two bins
// at a time: bins k, k+1 and their mirrors m-k, m-k-1, every lane through
// the SSE2 form's operations, so both give the same bits. Returns the first
// bin left to the SSE2 form.
__attribute__((target("avx"))) std::size_t spreadProductsAvx(const double* a, const double* b,
                                                             const double* w, const std::size_t* rev,
                                                             std::size_t m, double* x)
{
    const __m256d negateLow = _mm256_set_pd(0.0, -0.0, 0.0, -0.0);
    const __m256d negateHigh = _mm256_set_pd(-0.0, 0.0, -0.0, 0.0);
    std::size_t k = 1;
    for (; k + 1 <= m / 2; k += 2) {
        const std::size_t j = m - k - 1;  // mirrors of k + 1 and k, in that order in memory
        const __m256d P = avxTimes(_mm256_loadu_pd(a + 2 * k), _mm256_loadu_pd(b + 2 * k));
        const __m256d mirrored = avxTimes(_mm256_loadu_pd(a + 2 * j), _mm256_loadu_pd(b + 2 * j));
        const __m256d conjB = _mm256_xor_pd(_mm256_permute2f128_pd(mirrored, mirrored, 1), negateHigh);
        const __m256d E = _mm256_add_pd(P, conjB), D = _mm256_sub_pd(P, conjB);
        const __m256d O = avxTimes(_mm256_xor_pd(_mm256_loadu_pd(w + 2 * k), negateHigh), D);
        const __m256d swappedO = _mm256_shuffle_pd(O, O, 5);
        const __m256d zk = _mm256_add_pd(E, _mm256_xor_pd(swappedO, negateLow));
        const __m256d zm = _mm256_add_pd(_mm256_xor_pd(E, negateHigh), swappedO);
        _mm_storeu_pd(x + 2 * rev[k], _mm256_castpd256_pd128(zk));
        _mm_storeu_pd(x + 2 * rev[k + 1], _mm256_extractf128_pd(zk, 1));
        _mm_storeu_pd(x + 2 * rev[m - k], _mm256_castpd256_pd128(zm));
        _mm_storeu_pd(x + 2 * rev[j], _mm256_extractf128_pd(zm, 1));
    }
    return k;
}

// Forward's separation of the half spectra (see Forward) two bins at a time,
// in place: bins k, k+1 and their mirrors m-k, m-k-1, every lane through the
// SSE2 form's operations, so both give the same bits. Each step reads its
// four bins before it writes them, the mirrors last (bin m/2 ends as the
// SSE2 form leaves it). Returns the first bin left to the SSE2 form.
__attribute__((target("avx"))) std::size_t separateAvx(double* z, const double* w, std::size_t m)
{
    const __m256d negateHigh = _mm256_set_pd(-0.0, 0.0, -0.0, 0.0);
    const __m256d half = _mm256_set1_pd(0.5), halves = _mm256_set_pd(-0.5, 0.5, -0.5, 0.5);
    std::size_t k = 1;
    for (; k + 1 <= m / 2; k += 2) {
        const std::size_t j = m - k - 1;  // mirrors of k + 1 and k, in that order in memory
        const __m256d A = _mm256_loadu_pd(z + 2 * k);
        const __m256d stored = _mm256_loadu_pd(z + 2 * j);
        const __m256d B = _mm256_permute2f128_pd(stored, stored, 1);
        const __m256d E = _mm256_mul_pd(half, _mm256_add_pd(A, _mm256_xor_pd(B, negateHigh)));
        const __m256d O =
            _mm256_mul_pd(halves, _mm256_add_pd(_mm256_shuffle_pd(A, A, 5),
                                                _mm256_xor_pd(_mm256_shuffle_pd(B, B, 5), negateHigh)));
        const __m256d T = avxTimes(_mm256_loadu_pd(w + 2 * k), O);
        const __m256d mirrors = _mm256_xor_pd(_mm256_sub_pd(E, T), negateHigh);
        _mm256_storeu_pd(z + 2 * k, _mm256_add_pd(E, T));
        _mm256_storeu_pd(z + 2 * j, _mm256_permute2f128_pd(mirrors, mirrors, 1));
    }
    return k;
}
#endif

std::atomic<bool> wideAllowed(true);

#ifdef VM_REALFFT_AVX
// Whether the 256-bit forms are in use: the processor has AVX and they have
// not been switched off (UseWideRegisters). Without those forms (the Windows
// DLL) nothing asks.
bool wideRegisters()
{
    static const bool haveAvx = __builtin_cpu_supports("avx");
    return haveAvx && wideAllowed.load(std::memory_order_relaxed);
}
#endif

// The butterflies from span `span` (4 or more, or m) to the end, on the widest
// registers the processor has; every form gives the same bits.
void laterSpans(double* a, const double* w, std::size_t m, std::size_t span)
{
#ifdef VM_REALFFT_AVX
    if (span >= 4 && wideRegisters()) {
        laterSpansAvx(a, w, m, span);
        return;
    }
#endif
    laterSpansSse2(a, w, m, span);
}

}  // namespace

void RealFFT::ShareTables(const RealFFT& other)
{
    if (other.n_ == 0 || other.n_ == n_)
        return;
    tables_ = other.tables_;
    n_ = other.n_;
    half_ = other.half_;
}

bool RealFFT::UseWideRegisters(bool allowed)
{
    wideAllowed.store(allowed, std::memory_order_relaxed);
#ifdef VM_REALFFT_AVX
    return allowed && __builtin_cpu_supports("avx");
#else
    return false;
#endif
}

bool RealFFT::Prepare(std::size_t n)
{
    if (n == n_ && n_ != 0)
        return true;
    if (n < 2 || (n & (n - 1)) != 0) {
        n_ = half_ = 0;
        tables_.reset();
        return false;
    }
    tables_ = n <= kLargestShared ? sharedTables(n) : makeTables(n);
    n_ = n;
    half_ = n / 2;
    return true;
}

// The tables of the lengths up to kLargestShared, made once per process: they
// are constants of the length, and a model made for every call would
// otherwise compute them again each time. Without a lock (which could tie the
// library to a thread library): a thread that finds none makes them and
// offers them; when another thread's came first, it takes those and drops its
// own. They last until the library is unloaded.
std::shared_ptr<const RealFFT::Tables> RealFFT::sharedTables(std::size_t n)
{
    constexpr int kSlots = 64;
    struct Slots {
        std::atomic<const Tables*> byLog2[kSlots] = {};
        ~Slots()
        {
            for (std::atomic<const Tables*>& slot : byLog2)
                delete slot.load();
        }
    };
    static Slots slots;
    int log2n = 0;
    while ((std::size_t(1) << log2n) < n)
        ++log2n;
    std::atomic<const Tables*>& slot = slots.byLog2[log2n];
    const Tables* shared = slot.load(std::memory_order_acquire);
    if (shared == nullptr) {
        std::unique_ptr<const Tables> made(makeTables(n).release());
        const Tables* expected = nullptr;
        if (slot.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel))
            shared = made.release();
        else
            shared = expected;
    }
    // Not owned by the objects that hold them.
    return std::shared_ptr<const Tables>(std::shared_ptr<const Tables>(), shared);
}

std::unique_ptr<RealFFT::Tables> RealFFT::makeTables(std::size_t n)
{
    const std::size_t m = n / 2;
    int bits = 0;
    while ((std::size_t(1) << bits) < m)
        ++bits;
    // Each index's reversal from its half's: i's bits above the lowest are
    // i/2's, one place lower in the reversal, and i's lowest bit becomes the
    // highest. One step per entry instead of one per bit.
    auto t = std::make_unique<Tables>();
    t->bitReverse.assign(m, 0);
    for (std::size_t i = 1; i < m; ++i)
        t->bitReverse[i] = (t->bitReverse[i >> 1] >> 1) | ((i & 1) << (bits - 1));
    // Every root either table needs is some exp(-2 pi i k / N), k < N/2:
    // exp(-pi i j / h) is that root at k = j N / 2h, and its angle comes out
    // as the same double either way (numerator and denominator differ by a
    // power of two), so each is computed once and the tables take copies.
    std::vector<std::complex<double>> roots(m);
    for (std::size_t k = 0; k < m; ++k)
        roots[k] = unitRoot(k, n);
    // Stage by stage, contiguous: the roots of span h (exp(-pi i j / h),
    // j < h) at [h, 2h), so that every stage reads its roots in order. Their
    // parts are kept apart, each twice (see rootParts): a product then
    // shuffles only the value. The inverse's roots are conjugated once here
    // rather than at every use (the same doubles, the imaginary parts
    // negated).
    const std::size_t count = std::max<std::size_t>(m, 2);
    t->twiddle.assign(4 * count, 0.0);
    t->conjugateTwiddle.assign(4 * count, 0.0);
    const auto put = [&](std::size_t i, std::complex<double> r) {
        double* forward = t->twiddle.data() + partsAt(i);
        double* inverse = t->conjugateTwiddle.data() + partsAt(i);
        forward[0] = forward[1] = inverse[0] = inverse[1] = r.real();
        forward[4] = forward[5] = r.imag();
        inverse[4] = inverse[5] = -r.imag();
    };
    put(0, std::complex<double>(1.0, 0.0));
    for (std::size_t h = 1; h < count; h *= 2)
        for (std::size_t j = 0; j < h; ++j)
            put(h + j, h < m ? roots[j * (m / h)] : std::complex<double>(1.0, 0.0));
    t->split.assign(roots.begin(), roots.begin() + static_cast<std::ptrdiff_t>(m / 2 + 1));
    return t;
}

// In-place radix-2 decimation in time of length half_, unscaled, on values
// already in bit-reversed order (Forward and Inverse write them there as
// they pack them, so the permutation costs no pass and no unpredictable
// swap of its own). The complex products are written out on the parts: the
// library's operator* checks for infinities and NaNs at every call, which
// costs more than the product.
//
// With from, the values are from's pairs, not yet permuted: they are taken
// into a in bit-reversed order first (on 256-bit registers, as the first
// spans read them).
void RealFFT::butterflies(double* a, bool inverse, const double* from) const
{
    const std::size_t m = half_;
    const std::size_t* rev = tables_->bitReverse.data();
    // The inverse uses the conjugate roots.
    const double* w = (inverse ? tables_->conjugateTwiddle : tables_->twiddle).data();
#ifdef VM_REALFFT_AVX
    if (m >= 4 && wideRegisters()) {
        firstSpansAvx(a, from, from != nullptr ? rev : nullptr, m, inverse ? -1.0 : 1.0);
        laterSpansAvx(a, w, m, 4);
        return;
    }
#endif
    // The permutation is its own inverse: position j takes the pair that
    // belongs there (reads scattered, writes in order, which is the cheaper
    // way round).
    if (from != nullptr)
        for (std::size_t j = 0; j < m; ++j)
            _mm_storeu_pd(a + 2 * j, _mm_loadu_pd(from + 2 * rev[j]));
    const double sign = inverse ? -1.0 : 1.0;
    std::size_t span = 1;
    if (m >= 4) {
        // Spans 1 and 2 together: their roots are 1 and -i (+i inverse), so
        // they need no products.
        for (std::size_t i = 0; i < m; i += 4) {
            double* p = a + 2 * i;
            const double b0r = p[0] + p[2], b0i = p[1] + p[3];
            const double b1r = p[0] - p[2], b1i = p[1] - p[3];
            const double b2r = p[4] + p[6], b2i = p[5] + p[7];
            const double b3r = p[4] - p[6], b3i = p[5] - p[7];
            // t = (-i) b3 forward, (+i) b3 inverse.
            const double tr = sign * b3i, ti = -sign * b3r;
            p[0] = b0r + b2r;
            p[1] = b0i + b2i;
            p[4] = b0r - b2r;
            p[5] = b0i - b2i;
            p[2] = b1r + tr;
            p[3] = b1i + ti;
            p[6] = b1r - tr;
            p[7] = b1i - ti;
        }
        span = 4;
    } else if (m == 2) {
        const double re = a[2], im = a[3];
        a[2] = a[0] - re;
        a[3] = a[1] - im;
        a[0] += re;
        a[1] += im;
        span = 2;
    }
    laterSpans(a, w, m, span);
}

// The half-length transform runs in X itself (its first N/2 bins), and the
// two half spectra are separated there in place: each step reads bins k and
// m - k before it writes them.
void RealFFT::Forward(const double* x, std::complex<double>* X)
{
    const std::size_t m = half_;
    double* z = reinterpret_cast<double*>(X);
    butterflies(z, false, x);
    // Z = E + iO with E, O the spectra of the even and odd samples; bins k
    // and m - k give both: E = (Z[k] + conj Z[m-k]) / 2,
    // O = (Z[k] - conj Z[m-k]) / 2i, X[k] = E + W^k O, X[m-k] = conj(E - W^k O).
    // One complex value per register, every part through the written-out
    // form's operations: er = 0.5 (ar + br), ei = 0.5 (ai - bi),
    // orr = 0.5 (ai + bi), oi = -0.5 (ar - br), t = W^k O.
    const double z0r = z[0], z0i = z[1];
    X[0] = std::complex<double>(z0r + z0i, 0.0);
    X[m] = std::complex<double>(z0r - z0i, 0.0);
    const __m128d negateHigh = _mm_set_pd(-0.0, 0.0);
    const __m128d half = _mm_set1_pd(0.5), halves = _mm_set_pd(-0.5, 0.5);
    const double* w = reinterpret_cast<const double*>(tables_->split.data());
    std::size_t from = 1;
#ifdef VM_REALFFT_AVX
    if (wideRegisters())
        from = separateAvx(z, w, m);
#endif
    for (std::size_t k = from; k <= m / 2; ++k) {
        const __m128d A = _mm_loadu_pd(z + 2 * k), B = _mm_loadu_pd(z + 2 * (m - k));
        const __m128d E = _mm_mul_pd(half, _mm_add_pd(A, _mm_xor_pd(B, negateHigh)));
        const __m128d swappedB = _mm_shuffle_pd(B, B, 1);
        const __m128d O =
            _mm_mul_pd(halves, _mm_add_pd(_mm_shuffle_pd(A, A, 1), _mm_xor_pd(swappedB, negateHigh)));
        const __m128d T = rootTimes(_mm_loadu_pd(w + 2 * k), O);
        _mm_storeu_pd(z + 2 * k, _mm_add_pd(E, T));
        _mm_storeu_pd(z + 2 * (m - k), _mm_xor_pd(_mm_sub_pd(E, T), negateHigh));
    }
}

// The half-length spectrum is built straight into x, in the bit-reversed
// order the transform takes, and transformed there: x's samples are the
// real and imaginary parts of its result. bin(k) gives X[k] as (re, im).
// Bins 1 ... from - 1 (and their mirrors) are already in place.
template <class Bins> void RealFFT::inverseOf(Bins bin, double* x, std::size_t from)
{
    const std::size_t m = half_;
    const std::size_t* rev = tables_->bitReverse.data();
    // The half-length spectrum Z = 2(E + iO), E = (X[k] + conj X[m-k]) / 2,
    // O = (X[k] - conj X[m-k]) conj(W^k) / 2; the factor 2 makes the unscaled
    // half-length inverse come out as N x. One complex value per register,
    // through the written-out form's operations: E = (ar + br, ai - bi),
    // D = (ar - br, ai + bi), O = D conj(W^k), Z[k] = E + iO and
    // Z[m-k] = conj(E) + i conj(O) = (er + oi, -ei + orr).
    double first[2], last[2];
    _mm_storeu_pd(first, bin(0));
    _mm_storeu_pd(last, bin(m));
    x[0] = first[0] + last[0];
    x[1] = first[0] - last[0];
    const __m128d negateLow = _mm_set_pd(0.0, -0.0), negateHigh = _mm_set_pd(-0.0, 0.0);
    const double* w = reinterpret_cast<const double*>(tables_->split.data());
    for (std::size_t k = from; k <= m / 2; ++k) {
        const __m128d A = bin(k), conjB = _mm_xor_pd(bin(m - k), negateHigh);
        const __m128d E = _mm_add_pd(A, conjB), D = _mm_sub_pd(A, conjB);
        const __m128d O = rootTimes(_mm_xor_pd(_mm_loadu_pd(w + 2 * k), negateHigh), D);
        const __m128d swappedO = _mm_shuffle_pd(O, O, 1);  // (oi, orr)
        // Bin m/2 is written twice with the same value.
        _mm_storeu_pd(x + 2 * rev[k], _mm_add_pd(E, _mm_xor_pd(swappedO, negateLow)));
        _mm_storeu_pd(x + 2 * rev[m - k], _mm_add_pd(_mm_xor_pd(E, negateHigh), swappedO));
    }
    butterflies(x, true);
}

void RealFFT::Inverse(const std::complex<double>* X, double* x)
{
    const double* bins = reinterpret_cast<const double*>(X);
    inverseOf([bins](std::size_t k) { return _mm_loadu_pd(bins + 2 * k); }, x, 1);
}

// Each product is formed as the bins are read, (ar br - ai bi, ar bi + ai br)
// as a separate product pass would form it, so the result is the same to the
// bit without that pass or its buffer.
void RealFFT::InverseOfProduct(const std::complex<double>* A, const std::complex<double>* B, double* x)
{
    const double* a = reinterpret_cast<const double*>(A);
    const double* b = reinterpret_cast<const double*>(B);
    std::size_t from = 1;
#ifdef VM_REALFFT_AVX
    if (wideRegisters())
        from = spreadProductsAvx(a, b, reinterpret_cast<const double*>(tables_->split.data()),
                                 tables_->bitReverse.data(), half_, x);
#endif
    inverseOf([a, b](std::size_t k) { return rootTimes(_mm_loadu_pd(a + 2 * k), _mm_loadu_pd(b + 2 * k)); },
              x, from);
}

}  // namespace Veltramodels20200612
