#include "dsp/StreamingEye.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include <immintrin.h>

namespace Veltramodels20200612 {

namespace {

// Impulse samples turned into pulse samples per piece: bounds the scratch
// buffer, so that Add never allocates whatever the caller's block size. A
// search keeps an eye per state, each with its buffer, and every buffer is
// fresh memory for every call: a small piece costs little per piece and
// keeps that memory small.
const std::size_t kPieceSize = 256;

// The largest sign * p[k], k < count, NaNs left out (below every number),
// -infinity when there is none: two samples per SSE2 register (every x86-64
// processor has them). Past the main response almost no block holds a new
// peak, so this settles most blocks at the speed of memory; it also gives
// the new peak's value, so only its first index is left to look for.
double largestOf(const double* p, std::size_t count, double sign)
{
    const __m128d signs = _mm_set1_pd(sign);
    const __m128d none = _mm_set1_pd(-std::numeric_limits<double>::infinity());
    __m128d top0 = none, top1 = none;
    std::size_t k = 0;
    // maxpd gives its second operand when the first is a NaN.
    for (; k + 4 <= count; k += 4) {
        top0 = _mm_max_pd(_mm_mul_pd(signs, _mm_loadu_pd(p + k)), top0);
        top1 = _mm_max_pd(_mm_mul_pd(signs, _mm_loadu_pd(p + k + 2)), top1);
    }
    double both[2];
    _mm_storeu_pd(both, _mm_max_pd(top0, top1));
    double top = std::max(both[0], both[1]);
    for (; k < count; ++k)
        if (sign * p[k] > top)
            top = sign * p[k];
    return top;
}

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#define VM_STREAMINGEYE_AVX 1
bool haveAvx()
{
    static const bool have = __builtin_cpu_supports("avx");
    return have;
}

// Whole bits of pulse samples from the running steps st (with the s before
// them), in 256-bit registers for processors with AVX (chosen at run time):
// each sample L st[k] - L st[k-s] into p, its magnitude added to its phase
// sum, and the extremes kept, all in one pass. Every lane does the scalar
// form's operations (no fused multiply-add), so the samples and sums are the
// same to the bit. top and bottom take the largest and smallest sample, NaNs
// left out (maxpd and minpd give their second operand when the first is a
// NaN). Not on Windows, where the compiler cannot rely on 32-byte stack
// alignment for spilled 256-bit values.
__attribute__((target("avx"))) void pulseBitsAvx(const double* st, std::size_t s, std::size_t bits,
                                                 double level, double* p, double* sum, double* top,
                                                 double* bottom)
{
    const __m256d L = _mm256_set1_pd(level);
    const __m256d noSign = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
    __m256d high = _mm256_set1_pd(*top), low = _mm256_set1_pd(*bottom);
    double t = *top, b = *bottom;
    const std::size_t wide = s & ~std::size_t(3);
    for (std::size_t bit = 0; bit < bits; ++bit) {
        const double* x = st + bit * s;
        const double* before = x - s;  // x[j - s], without an index below zero
        double* out = p + bit * s;
        std::size_t j = 0;
        for (; j < wide; j += 4) {
            const __m256d v = _mm256_sub_pd(_mm256_mul_pd(L, _mm256_loadu_pd(x + j)),
                                            _mm256_mul_pd(L, _mm256_loadu_pd(before + j)));
            _mm256_storeu_pd(out + j, v);
            _mm256_storeu_pd(sum + j, _mm256_add_pd(_mm256_loadu_pd(sum + j), _mm256_and_pd(v, noSign)));
            high = _mm256_max_pd(v, high);
            low = _mm256_min_pd(v, low);
        }
        for (; j < s; ++j) {
            const double v = level * x[j] - level * before[j];
            out[j] = v;
            sum[j] += std::fabs(v);
            t = v > t ? v : t;
            b = v < b ? v : b;
        }
    }
    double lanes[4];
    _mm256_storeu_pd(lanes, high);
    for (double v : lanes)
        t = std::max(t, v);
    _mm256_storeu_pd(lanes, low);
    for (double v : lanes)
        b = std::min(b, v);
    *top = t;
    *bottom = b;
}

// Rows of four doubles to columns of four and back (the same transposition).
__attribute__((target("avx"), always_inline)) inline void transposeFour(__m256d* v)
{
    const __m256d ab0 = _mm256_unpacklo_pd(v[0], v[1]), ab1 = _mm256_unpackhi_pd(v[0], v[1]);
    const __m256d cd0 = _mm256_unpacklo_pd(v[2], v[3]), cd1 = _mm256_unpackhi_pd(v[2], v[3]);
    v[0] = _mm256_permute2f128_pd(ab0, cd0, 0x20);
    v[1] = _mm256_permute2f128_pd(ab1, cd1, 0x20);
    v[2] = _mm256_permute2f128_pd(ab0, cd0, 0x31);
    v[3] = _mm256_permute2f128_pd(ab1, cd1, 0x31);
}

// Four eyes' running steps side by side, one eye per lane, four samples at a
// time: four impulse samples of each eye turned into four lanes of four
// eyes, added to the steps one after another (each lane the scalar form's
// additions in their order), and turned back into each eye's steps. top
// keeps each eye's largest |h| (maxpd gives its second operand, the kept
// value, when the magnitude is a NaN). Returns the samples done, a multiple
// of four.
__attribute__((target("avx"))) std::size_t fourStepsAvx(const double* const* h, std::size_t count,
                                                        double* step, double* const* steps, double* top)
{
    const __m256d noSign = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
    __m256d running = _mm256_loadu_pd(step), largest = _mm256_loadu_pd(top);
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4) {
        __m256d v[4];
        for (int e = 0; e < 4; ++e)
            v[e] = _mm256_loadu_pd(h[e] + k);
        transposeFour(v);
        for (int j = 0; j < 4; ++j) {
            largest = _mm256_max_pd(_mm256_and_pd(v[j], noSign), largest);
            running = _mm256_add_pd(running, v[j]);
            v[j] = running;
        }
        transposeFour(v);
        for (int e = 0; e < 4; ++e)
            _mm256_storeu_pd(steps[e] + k, v[e]);
    }
    _mm256_storeu_pd(step, running);
    _mm256_storeu_pd(top, largest);
    return k;
}
#endif

}  // namespace

bool StreamingEye::Start(int samplesPerBit, double logicLevel, Input input)
{
    started_ = false;
    if (samplesPerBit < 1 || !(logicLevel > 0.0))
        return false;
    s_ = samplesPerBit;
    level_ = logicLevel;
    input_ = input;
    const std::size_t s = static_cast<std::size_t>(s_);
    const std::size_t width = 3 * s;
    pulseCount_ = 0;
    phase_ = 0;
    magnitudeSum_.assign(s, 0.0);
    history_.assign(width, 0.0);
    // Before any sample the peak is at index 0 (the whole-vector eye's choice
    // when no pulse sample is positive): the window samples before index 0
    // are known to be absent.
    const std::size_t before = static_cast<std::size_t>(s_ - 1 + s_ / 2);
    for (PeakTracker* t : {&high_, &low_}) {
        t->value = 0.0;
        t->index = 0;
        t->window.assign(width, 0.0);
        t->filled = before;
    }
    high_.sign = 1.0;
    low_.sign = -1.0;
    impulseCount_ = 0;
    step_ = 0.0;
    // Before the response the step is zero.
    steps_.assign(input != Input::Pulse ? s + std::max(kPieceSize, s) : 0, 0.0);
    largestMagnitude_ = 0.0;
    largestValue_ = 0.0;
    // The tail after the impulse is S pulse samples at once.
    scratch_.resize(input != Input::Pulse ? std::max(kPieceSize, s) : 0);
    worst_.resize(width);
    best_.resize(width);
    started_ = true;
    return true;
}

void StreamingEye::Add(const double* samples, std::size_t count)
{
    if (!started_ || count == 0)
        return;
    if (input_ == Input::Pulse) {
        addPulse(samples, count);
        return;
    }
    StreamingEye* self = this;
    impulsePieces<1>(&self, &samples, count);
}

void StreamingEye::AddTogether(StreamingEye* const* eyes, const double* const* samples,
                               const std::size_t* counts, int number)
{
    bool together = number >= 2 && number <= 4;
    for (int e = 0; together && e < number; ++e) {
        const StreamingEye& a = *eyes[e];
        together = a.started_ && a.input_ != Input::Pulse && counts[e] == counts[0] && counts[0] > 0;
    }
    if (!together) {
        for (int e = 0; e < number; ++e)
            eyes[e]->Add(samples[e], counts[e]);
        return;
    }
    if (number == 2)
        impulsePieces<2>(eyes, samples, counts[0]);
    else if (number == 3)
        impulsePieces<3>(eyes, samples, counts[0]);
    else
        impulsePieces<4>(eyes, samples, counts[0]);
}

// The pulse p[j] = L s[j] - L s[j-S] (L s[j] for j < S) of the running step
// s, by the same operations as the whole-vector eye, so that the pulse
// samples are the same numbers. Only the running step is a chain of
// dependent additions; the eyes' chains are interleaved, so that each one's
// additions overlap the others' instead of waiting on their own previous
// one, and the rest is done eye by eye in passes the compiler can
// vectorise. The running values are kept in locals: stores to the step
// buffers could otherwise alias them, which the compiler would then reload
// and store at every sample.
template <int E>
void StreamingEye::impulsePieces(StreamingEye* const* eyes, const double* const* samples, std::size_t count)
{
    double step[E];
    double* steps[E];
    for (int e = 0; e < E; ++e) {
        step[e] = eyes[e]->step_;
        steps[e] = eyes[e]->steps_.data() + eyes[e]->s_;
    }
    std::size_t done = 0;
    while (done < count) {
        const std::size_t piece = std::min(kPieceSize, count - done);
        // The piece's largest impulse magnitude on the side, NaNs left out.
        double top[E];
        for (int e = 0; e < E; ++e)
            top[e] = 0.0;
        std::size_t k = 0;
#ifdef VM_STREAMINGEYE_AVX
        if (E == 4 && haveAvx()) {
            const double* from[4];
            for (int e = 0; e < E; ++e)
                from[e] = samples[e] + done;
            k = fourStepsAvx(from, piece, step, steps, top);
        }
#endif
        for (; k < piece; ++k) {
            for (int e = 0; e < E; ++e) {
                const double h = samples[e][done + k];
                step[e] += h;
                steps[e][k] = step[e];
                const double magnitude = std::fabs(h);
                top[e] = magnitude > top[e] ? magnitude : top[e];
            }
        }
        for (int e = 0; e < E; ++e) {
            StreamingEye& a = *eyes[e];
            a.step_ = step[e];
            a.noteLargestMagnitude(samples[e] + done, top[e]);
            a.pulsesFromSteps(piece);
            a.impulseCount_ += static_cast<std::int64_t>(piece);
        }
        done += piece;
    }
}

// The first largest-magnitude impulse sample so far: a later one must be
// strictly larger. top: the largest |h[k]| of the piece h (or 0).
void StreamingEye::noteLargestMagnitude(const double* h, double top)
{
    if (!(top > largestMagnitude_))
        return;
    std::size_t found = 0;
    while (!(std::fabs(h[found]) == top))
        ++found;
    largestMagnitude_ = top;
    largestValue_ = h[found];
}

// The pulse samples of the count step values after the s_ earlier ones in
// steps_, which then make room for the next piece's.
void StreamingEye::pulsesFromSteps(std::size_t count)
{
    const std::size_t s = static_cast<std::size_t>(s_);
    const double* st = steps_.data() + s;
    const double* before = steps_.data();  // st[k - s], without an index below zero
    double* p = scratch_.data();
    const double level = level_;
    const auto early = [this](std::size_t k) { return impulseCount_ + static_cast<std::int64_t>(k) < s_; };
#ifdef VM_STREAMINGEYE_AVX
    if (haveAvx()) {
        // The samples, their phase sums and extremes in one pass: one by one
        // up to the first whole bit after the early samples, then whole
        // bits, then the rest.
        double* sum = magnitudeSum_.data();
        double top = -std::numeric_limits<double>::infinity();
        double bottom = std::numeric_limits<double>::infinity();
        std::size_t phase = phase_;
        std::size_t k = 0;
        const auto one = [&](double v) {
            p[k++] = v;
            sum[phase] += std::fabs(v);
            if (++phase == s)
                phase = 0;
            top = v > top ? v : top;
            bottom = v < bottom ? v : bottom;
        };
        while (k < count && (early(k) || phase != 0))
            one(early(k) ? level * st[k] : level * st[k] - level * before[k]);
        const std::size_t bits = (count - k) / s;
        if (bits > 0) {
            pulseBitsAvx(st + k, s, bits, level, p + k, sum, &top, &bottom);
            k += bits * s;
        }
        while (k < count)
            one(level * st[k] - level * before[k]);
        phase_ = phase;
        std::memmove(steps_.data(), steps_.data() + count, s * sizeof(double));
        takePulse(p, count, top, bottom);
        return;
    }
#endif
    std::size_t k = 0;
    for (; k < count && early(k); ++k)
        p[k] = level * st[k];
    for (; k < count; ++k)
        p[k] = level * st[k] - level * before[k];
    std::memmove(steps_.data(), steps_.data() + count, s * sizeof(double));
    addPulse(p, count);
}

// After the impulse the step holds its last value for S more pulse samples.
void StreamingEye::flushImpulseTail()
{
    const std::size_t s = static_cast<std::size_t>(s_);
    std::fill(steps_.begin() + static_cast<std::ptrdiff_t>(s),
              steps_.begin() + static_cast<std::ptrdiff_t>(2 * s), step_);
    pulsesFromSteps(s);
}

void StreamingEye::addPulse(const double* p, std::size_t count)
{
    const std::size_t s = static_cast<std::size_t>(s_);
    // Magnitude sums: up to the next phase 0, then whole bits, which the
    // compiler can vectorise, then the rest.
    std::size_t k = 0;
    double* sum = magnitudeSum_.data();
    while (k < count && phase_ != 0) {
        sum[phase_] += std::fabs(p[k++]);
        if (++phase_ == s)
            phase_ = 0;
    }
    for (; k + s <= count; k += s)
        for (std::size_t j = 0; j < s; ++j)
            sum[j] += std::fabs(p[k + j]);
    for (; k < count; ++k) {
        sum[phase_] += std::fabs(p[k]);
        if (++phase_ == s)
            phase_ = 0;
    }

    const double top = largestOf(p, count, 1.0);
    const double bottom = input_ != Input::Pulse ? -largestOf(p, count, -1.0) : 0.0;
    takePulse(p, count, top, bottom);
}

void StreamingEye::takePulse(const double* p, std::size_t count, double top, double bottom)
{
    continueWindow(high_, p, count);
    scanPeak(high_, p, count, top);
    if (input_ != Input::Pulse) {
        continueWindow(low_, p, count);
        scanPeak(low_, p, count, -bottom);
    }
    pushHistory(p, count);
    pulseCount_ += static_cast<std::int64_t>(count);
}

// The window samples of an earlier peak that fall in this block.
void StreamingEye::continueWindow(PeakTracker& t, const double* p, std::size_t count) const
{
    const std::size_t width = t.window.size();
    if (t.filled >= width)
        return;
    const std::int64_t i0 = t.index - (s_ - 1) - s_ / 2;
    while (t.filled < width) {
        const std::int64_t a = i0 + static_cast<std::int64_t>(t.filled) - pulseCount_;
        if (a >= static_cast<std::int64_t>(count))
            break;
        t.window[t.filled++] = t.sign * p[a];
    }
}

// top: the largest of t.sign * p[k], NaNs left out.
void StreamingEye::scanPeak(PeakTracker& t, const double* p, std::size_t count, double top)
{
    const double sign = t.sign;
    // The first largest sample, if above the peak so far.
    if (!(top > t.value))
        return;
    std::size_t found = 0;
    while (!(sign * p[found] == top))
        ++found;
    t.value = top;
    t.index = pulseCount_ + static_cast<std::int64_t>(found);
    captureWindow(t, p, count);
}

// The window of a new peak from the kept history and this block.
void StreamingEye::captureWindow(PeakTracker& t, const double* p, std::size_t count) const
{
    const std::int64_t width = static_cast<std::int64_t>(t.window.size());
    const std::int64_t i0 = t.index - (s_ - 1) - s_ / 2;
    const std::int64_t end = pulseCount_ + static_cast<std::int64_t>(count);
    std::int64_t w = 0;
    for (; w < width && i0 + w < end; ++w) {
        const std::int64_t a = i0 + w;
        double v;
        if (a < 0)
            v = 0.0;
        else if (a >= pulseCount_)
            v = p[a - pulseCount_];
        else
            v = history_[static_cast<std::size_t>(width - (pulseCount_ - a))];
        t.window[static_cast<std::size_t>(w)] = t.sign * v;
    }
    t.filled = static_cast<std::size_t>(w);
}

void StreamingEye::pushHistory(const double* p, std::size_t count)
{
    const std::size_t width = history_.size();
    if (count >= width) {
        std::memcpy(history_.data(), p + (count - width), width * sizeof(double));
    } else {
        std::memmove(history_.data(), history_.data() + count, (width - count) * sizeof(double));
        std::memcpy(history_.data() + (width - count), p, count * sizeof(double));
    }
}

// The worst-case and best-case phase windows around the tracker's peak: every
// sample of the phase counts against the eye (worst) or for it (best), except
// the cursor, which counts with its sign. Samples past the end of the
// response are absent, so such a phase has no cursor.
void StreamingEye::curves(const PeakTracker& t, std::vector<double>& worst, std::vector<double>& best) const
{
    const std::int64_t s = s_;
    const std::int64_t i0 = t.index - (s - 1) - s / 2;
    const std::size_t width = t.window.size();
    for (std::size_t w = 0; w < width; ++w) {
        std::int64_t r = (i0 + static_cast<std::int64_t>(w)) % s;
        if (r < 0)
            r += s;
        const double all = magnitudeSum_[static_cast<std::size_t>(r)];
        const double v = w < t.filled ? t.window[w] : 0.0;
        // sum over the others of -|p| plus the cursor: v - (all - |v|).
        worst[w] = v > 0.0 ? (v + v) - all : -all;
        best[w] = v < 0.0 ? all + (v + v) : all;
    }
}

bool StreamingEye::Levels(double* bc, double* wc)
{
    if (!started_)
        return false;
    if (input_ != Input::Pulse) {
        if (impulseCount_ == 0)
            return false;
        flushImpulseTail();
    } else if (pulseCount_ == 0) {
        return false;
    }
    started_ = false;

    // An impulse whose largest-magnitude sample is negative is measured
    // negated: its pulse is the negated pulse, whose peak is the most
    // negative sample tracked. As an Impulse its curves are negated back.
    const bool inverted = input_ != Input::Pulse && largestValue_ < 0.0;
    curves(inverted ? low_ : high_, worst_, best_);

    const std::int64_t s = s_;
    const std::int64_t h = s / 2;
    const std::int64_t d = 2 * s;
    // Eye edges and centre on the worst-case lower curve (-worst), then the
    // window re-cut so that the centre lands on phase S - 1.
    std::int64_t pos = 0;
    double smallest = 1e40;
    for (std::int64_t k = 0; k < d; ++k) {
        if (-worst_[h + k] < smallest) {
            smallest = -worst_[h + k];
            pos = k;
        }
    }
    std::int64_t centre;
    if (-worst_[h + pos] > 0.0) {
        centre = pos;
    } else {
        std::int64_t left = 0, right = 0;
        for (std::int64_t k = pos - 1; k >= 1; --k) {
            if (-worst_[h + k] > 0.0) {
                left = k + 1;
                break;
            }
        }
        for (std::int64_t k = pos; k < d; ++k) {
            if (-worst_[h + k] > 0.0) {
                right = k - 1;
                break;
            }
        }
        centre = (left + right) / 2;
    }
    const std::int64_t shift = centre - (s - 1);
    const std::int64_t offset = (shift != 0 && -h <= shift && shift < h) ? h + shift : h;
    const double flip = inverted && input_ == Input::Impulse ? -1.0 : 1.0;
    const double* a = worst_.data() + offset;
    const double* c = best_.data() + offset;

    // Levels at the middle of the open region between the last rising and
    // falling crossings (phases 1 .. D-1), which may wrap around the window;
    // with no crossing, at the largest worst-case level.
    double top = -1e40;
    std::int64_t topIndex = 0, rising = -1, falling = -1;
    for (std::int64_t k = 1; k < d; ++k) {
        const double ak = flip * a[k], prev = flip * a[k - 1];
        if (ak > top) {
            top = ak;
            topIndex = k;
        }
        if (prev <= 0.0 && 0.0 < ak)
            rising = k;
        if (ak <= 0.0 && 0.0 < prev)
            falling = k - 1;
    }
    std::int64_t at;
    double wcLevel;
    if (rising < 0 || falling < 0) {
        at = topIndex;
        wcLevel = top;
    } else {
        at = falling > rising ? (rising + falling) / 2 : (rising + falling + d) / 2;
        if (at >= d)
            at -= d;
        wcLevel = flip * a[at];
    }
    *wc = wcLevel;
    *bc = flip * c[at];
    return true;
}

}  // namespace Veltramodels20200612
