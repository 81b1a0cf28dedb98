#ifndef VM_DSP_FFT_H
#define VM_DSP_FFT_H

#include <complex>
#include <cstddef>
#include <fstream>
#include <vector>

namespace Veltramodels20200612 {

// In-place iterative radix-2 complex FFT.
//
// ComplexFFT(data, 1) is the forward transform scaled by 1/N,
//   X[k] = (1/N) sum_n x[n] exp(-2 pi i k n / N),
// any other direction is the unscaled inverse,
//   x[n] = sum_k X[k] exp(+2 pi i k n / N).
// A forward call followed by an inverse call gives back the input.
//
// The twiddle factors of every stage come from the trigonometric recurrence
// w <- w + w * (cos(theta) - 1, sin(theta)); they are computed once per length
// and kept in the object, so an object reused for many transforms of one
// length (as the FIR filter does per block) pays for them only once. The
// butterflies are visited in a cache-friendly order that performs exactly the
// same floating-point operations on every element as the textbook loop order,
// so the numbers do not depend on that ordering.
class FFT {
public:
    FFT();
    explicit FFT(std::ofstream* useFile);

    // Transforms data in place. The length must be a power of two (1, 2, 4, ...,
    // up to 2^30); any other length, including 0, leaves data untouched.
    void ComplexFFT(std::vector<std::complex<double>>& data, int direction);

    // True when n is a length ComplexFFT transforms.
    static bool isValidLength(std::size_t n);

    // ComplexFFT for data that already hold their input in bit-reversed
    // order (input element k at index bitReversedIndex(k, log2 N)): the same
    // transform, the same numbers, without the permutation pass. Callers that
    // place a short input into a zeroed array, or that permute while they
    // multiply, save a pass over a long array this way.
    void ComplexFFTBitReversed(std::vector<std::complex<double>>& data, int direction);
    // The transform of x[0 .. count-1] (real) zero-padded to data.size()
    // points: exactly what filling data with (x[j], 0) and calling
    // ComplexFFT gives, bit for bit. For a short input the first stages,
    // which only spread each input value over its block, are written down
    // directly instead of computed.
    void ComplexFFTOfShortReal(const double* x, std::size_t count, std::vector<std::complex<double>>& data,
                               int direction);
    // k with its lowest `bits` bits reversed.
    static std::size_t bitReversedIndex(std::size_t k, int bits);
    // data[bitReversedIndex(k)] = data[k] * factor[k] for every k (the
    // product of std::complex, then the permutation), in one cache-friendly
    // pass. Both have the same power-of-two length.
    static void multiplyBitReversed(std::vector<std::complex<double>>& data,
                                    const std::vector<std::complex<double>>& factor);

    // Makes the object behave as a freshly built one bound to useFile (its
    // next ComplexFFT writes the use-file line again) while keeping the
    // prepared twiddle tables.
    void restartUseLog(std::ofstream* useFile);

private:
    void prepareTables(int n);
    void transform(double* a, int n, bool inverse) const;
    // The butterfly stages of half-span firstSpan and up.
    void butterflyPasses(double* a, int n, bool inverse, int firstSpan) const;

    std::ofstream* useFile_;
    int callCount_;

    // Twiddles of the forward transform, stage after stage: the stage with
    // half-length mmax starts at index mmax - 1 (N - 1 values in all).
    int tableSize_;
    std::vector<double> twiddleRe_;
    std::vector<double> twiddleIm_;
    // The inverse transform's twiddles are the exact conjugates of the
    // forward ones whenever the math library's sine is odd-symmetric, which
    // is checked when the tables are built; otherwise they get their own table.
    bool inverseIsConjugate_;
    std::vector<double> inverseRe_;
    std::vector<double> inverseIm_;
};

}  // namespace Veltramodels20200612

#endif
