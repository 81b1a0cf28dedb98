#ifndef VM_DSP_REALFFT_H
#define VM_DSP_REALFFT_H

#include <complex>
#include <cstddef>
#include <memory>
#include <vector>

namespace Veltramodels20200612 {

// Transform of real data of length N = 2^k (N >= 2) through a complex
// transform of half the length: the even and odd samples are packed as the
// real and imaginary parts of N/2 complex values, and the two half spectra
// are separated afterwards. Half the work and half the memory of a complex
// transform of the zero-imaginary data.
//
// Forward gives the N/2 + 1 non-redundant bins of the unscaled DFT,
//     X[k] = sum_j x[j] exp(-2 pi i jk / N),  k = 0 ... N/2,
// and Inverse the unscaled inverse of such a half spectrum (the other half
// taken as its conjugate mirror), so that Inverse(Forward(x)) = N x.
//
// Every twiddle factor is computed by std::cos and std::sin of its own angle:
// no recurrence, so the factors are correct to rounding whatever N, and the
// transform's error grows only with log N. The tables of a length are
// constants, made once per process for the lengths up to 2^14 (which models
// use again and again) and shared, and made by Prepare for longer ones. The
// transforms work in their output buffers, so a prepared object transforms
// without allocating.
class RealFFT {
public:
    RealFFT() = default;

    // Makes the tables for length n. Returns false, leaving the object
    // unprepared, unless n is a power of two >= 2. Preparing the length the
    // object already has does nothing.
    bool Prepare(std::size_t n);

    // The prepared length (0 when unprepared).
    std::size_t Size() const { return n_; }

    // x: Size() real samples; X: Size()/2 + 1 bins. x and X must not overlap.
    void Forward(const double* x, std::complex<double>* X);

    // X: Size()/2 + 1 bins (the imaginary parts of bins 0 and Size()/2 are
    // ignored, as for any real signal); x: Size() samples. X is only read.
    void Inverse(const std::complex<double>* X, double* x);
    // Inverse of the bin-by-bin product of A and B (each Size()/2 + 1 bins,
    // only read), the same to the bit as forming the product first.
    void InverseOfProduct(const std::complex<double>* A, const std::complex<double>* B, double* x);

    // The transforms use 256-bit registers where the processor has them
    // (chosen at run time) and SSE2 otherwise; both give the same bits. This
    // switch lets tests and benchmarks compare the two; it returns whether
    // the wide form is now in use.
    static bool UseWideRegisters(bool allowed);

    // Takes the tables of another prepared object (the same numbers, made
    // once) unless this one already has its length; Prepare for that length
    // then has nothing to do. Objects that transform blocks of the same
    // length for one job need not compute the roots twice.
    void ShareTables(const RealFFT& other);

private:
    void butterflies(double* a, bool inverse, const double* from = nullptr) const;
    template <class Bins> void inverseOf(Bins bin, double* x, std::size_t from);

    // The tables of one length, never changed once made, so that objects
    // of the same length can hold the same ones.
    struct Tables {
        std::vector<std::size_t> bitReverse;  // permutation of the half-length transform
        // Per span h the roots exp(-pi i j / h), j < h, at [h, 2h), with their
        // parts apart: per pair of roots (j even) at 4j, their real parts,
        // each twice, then their imaginary parts, each twice.
        std::vector<double> twiddle;
        std::vector<double> conjugateTwiddle;     // twiddle's conjugates, for the inverse
        std::vector<std::complex<double>> split;  // exp(-2 pi i k / N), k <= N/4
    };

    // Lengths whose tables are made once per process and shared.
    static constexpr std::size_t kLargestShared = std::size_t(1) << 14;
    static std::shared_ptr<const Tables> sharedTables(std::size_t n);
    static std::unique_ptr<Tables> makeTables(std::size_t n);

    std::size_t n_ = 0;
    std::size_t half_ = 0;  // complex length N/2
    std::shared_ptr<const Tables> tables_;
};

}  // namespace Veltramodels20200612

#endif
