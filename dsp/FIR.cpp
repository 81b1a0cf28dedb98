#include "dsp/FIR.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Veltramodels20200612 {

namespace {

// The longest FFT the transform accepts is 2^30 points; the nonzero tap span
// must fit in half of it for the overlap-add to be exact.
const int kMaxPow2 = 30;

template <typename T> void releaseVector(std::vector<T>& v)
{
    std::vector<T>().swap(v);
}

}  // namespace

FIR::FIR()
    : Input(0.0),
      Output(0.0),
      Taps(nullptr),
      InitialValue(0.0),
      EnableFFT(0),
      FFTPow2Size(0),
      ReportFFTProgress(0),
      FFTSize(0),
      FFTBlockSize(0),
      FFT_process_count(0),
      QuietSetup(0),
      NumTaps(0),
      LeadingZeroTaps(0),
      SpanCount(0),
      useFile_(nullptr),
      configured_(false),
      initialized_(false),
      delayPos_(0),
      sampleCount_(0),
      tapsSpectrumFinite_(true),
      blockPos_(0),
      delayReadPos_(0),
      delayWritePos_(0)
{
}

FIR::~FIR()
{
    DeleteBuffers();
}

bool FIR::Setup(std::ofstream* useFile, std::stringstream& msg)
{
    if (useFile_ == nullptr && useFile != nullptr && useFile->is_open()) {
        *useFile << "Veltramodels20200612::FIR\n";
        useFile_ = useFile;
        useFile_->flush();
    }

    bool result = true;
    configured_ = false;
    initialized_ = false;

    const std::int64_t size = Taps != nullptr ? static_cast<std::int64_t>(Taps->size()) : 0;
    if (size == 0) {
        msg << "Taps array size must be > 0.\n";
        result = false;
    }

    // Trailing zero taps add nothing; tap 0 always counts.
    NumTaps = size;
    for (std::int64_t i = size - 1; i >= 1; --i) {
        if ((*Taps)[i] != 0.0) {
            NumTaps = i + 1;
            break;
        }
    }

    if (static_cast<unsigned int>(EnableFFT) > 1u) {
        msg << "EnableFFT must be an integer in the range [0,1].\n";
        result = false;
    }
    if (EnableFFT != 1) {
        configured_ = result;
        return result;
    }

    return setupFFTSizes(size, result, msg);
}

// FFT sizing: only the span from the first to the last nonzero tap is
// transformed. size is the tap vector's length; result carries the checks
// before, so that a bad FFTPow2Size is reported beside them.
bool FIR::setupFFTSizes(std::int64_t size, bool result, std::stringstream& msg)
{
    LeadingZeroTaps = NumTaps;
    for (std::int64_t i = 0; i < NumTaps; ++i) {
        if (std::fabs((*Taps)[i]) > 0.0) {
            LeadingZeroTaps = i;
            break;
        }
    }
    std::int64_t end;
    if (NumTaps <= 1 || std::fabs((*Taps)[NumTaps - 1]) > 0.0) {
        end = NumTaps;
    } else {
        end = 1;
        for (std::int64_t k = NumTaps - 2; k >= 1; --k) {
            if (std::fabs((*Taps)[k]) > 0.0) {
                end = k + 1;
                break;
            }
        }
    }
    const std::int64_t span = end - LeadingZeroTaps;
    if (span < 1) {
        // No tap has a magnitude > 0: there is nothing to transform, and the
        // sizes would come out zero or negative.
        SpanCount = 0;
        FFTSize = 0;
        FFTBlockSize = 0;
        if (size > 0)
            msg << "Taps must have at least one nonzero value when EnableFFT = 1.\n";
        return false;
    }
    SpanCount = (span % 2 == 0) ? span : span + 1;
    FFTBlockSize = SpanCount;

    // The smallest power of two >= 2 * SpanCount.
    int p = 0;
    while ((std::int64_t(1) << p) < 2 * SpanCount)
        ++p;
    FFTSize = std::int64_t(1) << p;
    if (p > kMaxPow2) {
        msg << "Taps nonzero span must be <= " << (std::int64_t(1) << (kMaxPow2 - 1))
            << " samples when EnableFFT = 1.\n";
        return false;
    }

    if (FFTPow2Size > 0) {
        if (FFTPow2Size > kMaxPow2) {
            msg << "FFTPow2Size must be an integer <= " << kMaxPow2 << ".\n";
            return false;
        }
        const std::int64_t g = std::int64_t(1) << FFTPow2Size;
        if (g < FFTSize) {
            msg << "To be compatible with the Taps[] size, FFTPow2Size must be an integer >= " << p << ".\n";
            result = false;
        }
        FFTSize = g;
        FFTBlockSize = std::min(g / 2, g - SpanCount);
    }

    if (result && QuietSetup == 0) {
        msg << "FIR with EnableFFT = 1 will have an FFT size of " << FFTSize << " samples and a delay of "
            << FFTBlockSize << " samples.\n";
    }
    configured_ = result;
    return result;
}

void FIR::forceHermitian(std::vector<std::complex<double>>& x) const
{
    // The data are real, so the spectrum's upper half is the conjugate mirror
    // of the lower half; setting it so removes rounding asymmetry.
    const std::int64_t n = static_cast<std::int64_t>(x.size());
    if (n / 2 <= 1)
        return;
    for (std::int64_t k = 1; k < n / 2; ++k)
        x[n - k] = std::conj(x[k]);
}

void FIR::Initialize()
{
    // Buffers of the right size from an earlier Initialize are refilled in
    // place rather than released and allocated again.
    initialized_ = false;
    FFT_process_count = 0;
    sampleCount_ = 0;
    if (!configured_ || Taps == nullptr)
        return;

    if (EnableFFT != 1) {
        releaseFFTBuffers();
        delayLine_.assign(static_cast<std::size_t>(NumTaps), InitialValue);
        delayPos_ = 0;
        initialized_ = true;
        return;
    }

    // FFT mode. The direct-form delay line would only be kept in step without
    // being read, so it is not kept at all.
    releaseDirectBuffers();
    const std::int64_t n = FFTSize;
    const std::int64_t block = FFTBlockSize;
    const std::int64_t tapCount = std::min<std::int64_t>(NumTaps, static_cast<std::int64_t>(Taps->size()));

    leadingZeroDelay_.assign(static_cast<std::size_t>(LeadingZeroTaps + 1), 0.0);

    // Taps spectrum: the nonzero span zero-padded to the FFT length. The
    // forward transform scales by 1/N; multiplying by N undoes it.
    tapsSpectrum_.assign(static_cast<std::size_t>(n), std::complex<double>(0.0, 0.0));
    for (std::int64_t i = 0; i < SpanCount && i + LeadingZeroTaps < tapCount; ++i)
        tapsSpectrum_[i] = std::complex<double>((*Taps)[i + LeadingZeroTaps], 0.0);
    fft_.restartUseLog(useFile_);
    fft_.ComplexFFT(tapsSpectrum_, 1);
    const double scale = static_cast<double>(n);
    for (std::int64_t k = 0; k < n; ++k)
        tapsSpectrum_[k] =
            std::complex<double>(tapsSpectrum_[k].real() * scale, tapsSpectrum_[k].imag() * scale);
    forceHermitian(tapsSpectrum_);
    tapsSpectrumFinite_ = true;
    for (std::int64_t k = 0; k < n; ++k) {
        if (!std::isfinite(tapsSpectrum_[k].real()) || !std::isfinite(tapsSpectrum_[k].imag())) {
            tapsSpectrumFinite_ = false;
            break;
        }
    }

    work_.resize(static_cast<std::size_t>(n));  // fully overwritten by every block
    blockBuffer_.assign(static_cast<std::size_t>(block), 0.0);
    previousTail_.assign(static_cast<std::size_t>(block), 0.0);

    blockPos_ = 0;
    delayWritePos_ = 0;
    delayReadPos_ = -LeadingZeroTaps;
    initialized_ = true;
}

void FIR::Run(std::stringstream& msg)
{
    if (!initialized_ || Taps == nullptr) {
        // Not prepared by Setup and Initialize (or released by Finalize in
        // FFT mode): nothing to filter with.
        Output = 0.0;
        return;
    }
    if (EnableFFT == 1)
        runFFT(msg);
    else
        runDirect();
}

void FIR::runDirect()
{
    const std::int64_t n = NumTaps;
    const std::int64_t p = delayPos_;
    const std::int64_t t = sampleCount_;
    double* d = delayLine_.data();
    d[p] = Input;

    // With a zero initial value the taps that reach before the first sample
    // contribute nothing and are skipped.
    std::int64_t limit = n;
    if (InitialValue == 0.0 && t + 1 < limit)
        limit = t + 1;
    const std::int64_t available = static_cast<std::int64_t>(Taps->size());
    if (available < limit)
        limit = available;

    // Taps in ascending order; the delay-line index steps back from p and
    // wraps once from slot 0 to slot n - 1.
    const double* h = Taps->data();
    double acc = 0.0;
    const std::int64_t firstRun = std::min(p + 1, limit);
    for (std::int64_t i = 0; i < firstRun; ++i)
        acc += h[i] * d[p - i];
    for (std::int64_t i = firstRun; i < limit; ++i)
        acc += h[i] * d[n + p - i];
    Output = acc;

    ++sampleCount_;
    delayPos_ = (p + 1 >= n) ? 0 : p + 1;
}

#if defined(__GNUC__) || defined(__clang__)
namespace {
// Two doubles in one register; element-wise products and sums are the
// scalar IEEE operations, so the vector form rounds exactly like the scalar.
typedef double Pair2 __attribute__((vector_size(16)));
inline Pair2 loadPair(const double* p)
{
    Pair2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void storePair(double* p, Pair2 v)
{
    std::memcpy(p, &v, sizeof v);
}
}  // namespace

void FIR::directSums8(const double* h, std::int64_t from, std::int64_t to, const double* x, double* acc)
{
    // The eight running sums stay in registers across the whole tap loop.
    Pair2 a0 = loadPair(acc), a1 = loadPair(acc + 2), a2 = loadPair(acc + 4), a3 = loadPair(acc + 6);
    for (std::int64_t i = from; i < to; ++i) {
        const Pair2 hi = {h[i], h[i]};
        const double* xi = x - i;
        a0 += hi * loadPair(xi);
        a1 += hi * loadPair(xi + 2);
        a2 += hi * loadPair(xi + 4);
        a3 += hi * loadPair(xi + 6);
    }
    storePair(acc, a0);
    storePair(acc + 2, a1);
    storePair(acc + 4, a2);
    storePair(acc + 6, a3);
}
#else
void FIR::directSums8(const double* h, std::int64_t from, std::int64_t to, const double* x, double* acc)
{
    double a0 = acc[0], a1 = acc[1], a2 = acc[2], a3 = acc[3], a4 = acc[4], a5 = acc[5], a6 = acc[6],
           a7 = acc[7];
    for (std::int64_t i = from; i < to; ++i) {
        const double hi = h[i];
        const double* xi = x - i;
        a0 += hi * xi[0];
        a1 += hi * xi[1];
        a2 += hi * xi[2];
        a3 += hi * xi[3];
        a4 += hi * xi[4];
        a5 += hi * xi[5];
        a6 += hi * xi[6];
        a7 += hi * xi[7];
    }
    acc[0] = a0;
    acc[1] = a1;
    acc[2] = a2;
    acc[3] = a3;
    acc[4] = a4;
    acc[5] = a5;
    acc[6] = a6;
    acc[7] = a7;
}
#endif

void FIR::RunBlock(const double* input, double* output, std::int64_t count, std::stringstream& msg)
{
    if (count <= 0)
        return;
    if (initialized_ && Taps != nullptr && EnableFFT != 1) {
        runDirectBlock(input, output, count);
        return;
    }
    for (std::int64_t k = 0; k < count; ++k) {
        Input = input[k];
        Run(msg);
        output[k] = Output;
    }
}

// Direct form over a block. The history holds the n - 1 inputs before the
// chunk (from the delay line) followed by the chunk's inputs, so that every
// output's terms are one contiguous run. Outputs are summed eight at a time,
// each in its own ascending tap order starting from +0, which is exactly
// runDirect's sum; the delay line is then left as the single steps leave it.
void FIR::runDirectBlock(const double* input, double* output, std::int64_t count)
{
    const std::int64_t n = NumTaps;
    const std::int64_t available = static_cast<std::int64_t>(Taps->size());
    const std::int64_t full = std::min(n, available);
    const double* h = Taps->data();
    const bool zeroStart = InitialValue == 0.0;
    const std::int64_t chunk = 4096;
    history_.resize(static_cast<std::size_t>(n - 1 + std::min(chunk, count)));
    double* x = history_.data();

    for (std::int64_t done = 0; done < count;) {
        const std::int64_t m = std::min(chunk, count - done);
        // x[n - 1 + k] is the chunk's input k; x[n - 1 - j] the input j steps
        // before the chunk, which the delay line holds at slot p - j.
        const std::int64_t p = delayPos_;
        for (std::int64_t j = 1; j < n; ++j) {
            const std::int64_t slot = p - j >= 0 ? p - j : p - j + n;
            x[n - 1 - j] = delayLine_[static_cast<std::size_t>(slot)];
        }
        for (std::int64_t k = 0; k < m; ++k)
            x[n - 1 + k] = input[done + k];
        // The inputs may be overwritten from here on (output may be input).
        const double lastIn = input[done + m - 1];

        const std::int64_t t0 = sampleCount_;
        auto limitOf = [&](std::int64_t t) {
            std::int64_t limit = full;
            if (zeroStart && t + 1 < limit)
                limit = t + 1;
            return limit;
        };
        const std::int64_t B = 8;
        std::int64_t k = 0;
        // Outputs that do not yet reach back over every tap, one by one.
        while (k < m && limitOf(t0 + k) < full) {
            const std::int64_t limit = limitOf(t0 + k);
            const double* xk = x + (n - 1 + k);
            double acc = 0.0;
            for (std::int64_t i = 0; i < limit; ++i)
                acc += h[i] * xk[-i];
            output[done + k] = acc;
            ++k;
        }
        for (; k + B <= m; k += B) {
            double acc[B] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
            directSums8(h, 0, full, x + (n - 1 + k), acc);
            for (std::int64_t j = 0; j < B; ++j)
                output[done + k + j] = acc[j];
        }
        for (; k < m; ++k) {
            const double* xk = x + (n - 1 + k);
            double acc = 0.0;
            for (std::int64_t i = 0; i < full; ++i)
                acc += h[i] * xk[-i];
            output[done + k] = acc;
        }

        // The delay line as m single steps leave it: input k at slot p + k.
        const std::int64_t keep = std::min(m, n);
        for (std::int64_t k2 = m - keep; k2 < m; ++k2)
            delayLine_[static_cast<std::size_t>((p + k2) % n)] = x[n - 1 + k2];
        delayPos_ = (p + m) % n;
        sampleCount_ += m;
        Input = lastIn;
        Output = output[done + m - 1];
        done += m;
    }
}

void FIR::processBlock(std::stringstream& msg, bool initialBlock)
{
    const std::int64_t n = FFTSize;
    const std::int64_t block = FFTBlockSize;

    bool zeroBlock = false;
    if (tapsSpectrumFinite_) {
        // An all-zero block convolves to exact zeros: skip its two transforms.
        // (With a non-finite taps spectrum the products would be NaN instead.)
        zeroBlock = true;
        if (initialBlock) {
            zeroBlock = (InitialValue == 0.0);
        } else {
            for (std::int64_t i = 0; i < block; ++i) {
                if (blockBuffer_[i] != 0.0) {
                    zeroBlock = false;
                    break;
                }
            }
        }
    }

    if (zeroBlock) {
        // The use file still records this block's transform, as for every other block.
        fft_.restartUseLog(useFile_);
        std::vector<std::complex<double>> none;
        fft_.ComplexFFT(none, 1);
        for (std::int64_t i = 0; i < block; ++i) {
            blockBuffer_[i] = 0.0 + previousTail_[i];
            previousTail_[i] = 0.0;
        }
    } else {
        for (std::int64_t i = 0; i < block; ++i)
            work_[i] = std::complex<double>(initialBlock ? InitialValue : blockBuffer_[i], 0.0);
        for (std::int64_t i = block; i < n; ++i)
            work_[i] = std::complex<double>(0.0, 0.0);

        // Every block behaves as if transformed by a fresh FFT object bound to
        // the use file; the prepared twiddles are kept.
        fft_.restartUseLog(useFile_);
        fft_.ComplexFFT(work_, 1);
        forceHermitian(work_);
        for (std::int64_t k = 0; k < n; ++k) {
            const double sr = work_[k].real();
            const double si = work_[k].imag();
            const double hr = tapsSpectrum_[k].real();
            const double hi = tapsSpectrum_[k].imag();
            work_[k] = std::complex<double>(sr * hr - si * hi, sr * hi + si * hr);
        }
        fft_.ComplexFFT(work_, 0);

        // Overlap-add: this block's head plus the previous block's tail.
        for (std::int64_t i = 0; i < block; ++i) {
            blockBuffer_[i] = work_[i].real() + previousTail_[i];
            previousTail_[i] = work_[block + i].real();
        }
    }

    ++FFT_process_count;
    if (ReportFFTProgress == 1 && FFT_process_count % 10 == 0) {
        msg << "FIR with EnableFFT = 1: FFT_process_count = " << FFT_process_count
            << ", sample count = " << FFT_process_count * block << ".\n";
    }
}

void FIR::runFFT(std::stringstream& msg)
{
    const std::int64_t b = blockPos_;
    const std::int64_t t = sampleCount_;
    if (b == 0 && (t > 0 || InitialValue != 0.0))
        processBlock(msg, t == 0);

    const double v = blockBuffer_[b];
    blockBuffer_[b] = Input;
    blockPos_ = (b + 1 >= FFTBlockSize) ? 0 : b + 1;

    // Put back the delay of the leading zero taps.
    leadingZeroDelay_[delayWritePos_] = v;
    Output = (delayReadPos_ < 0) ? 0.0 : leadingZeroDelay_[delayReadPos_];
    if (++delayWritePos_ > LeadingZeroTaps)
        delayWritePos_ = 0;
    if (++delayReadPos_ > LeadingZeroTaps)
        delayReadPos_ = 0;

    ++sampleCount_;
}

void FIR::Finalize()
{
    if (EnableFFT == 1)
        DeleteBuffers();
}

void FIR::DeleteBuffers()
{
    if (EnableFFT != 1)
        return;
    releaseDirectBuffers();
    releaseFFTBuffers();
}

void FIR::releaseDirectBuffers()
{
    releaseVector(delayLine_);
}

void FIR::releaseFFTBuffers()
{
    releaseVector(tapsSpectrum_);
    releaseVector(work_);
    releaseVector(blockBuffer_);
    releaseVector(previousTail_);
    releaseVector(leadingZeroDelay_);
    fft_ = FFT();
    initialized_ = false;
}

}  // namespace Veltramodels20200612
