// A small radix-2 FFT for the host tool's channel synthesis and spectra. The
// host deliberately does not link the model's framework: it must exercise a
// model library exactly as a simulator does, with nothing shared.
#ifndef VM_TOOLS_AMI_HOST_HOSTFFT_H
#define VM_TOOLS_AMI_HOST_HOSTFFT_H

#include <complex>
#include <vector>

namespace amihost {

class HostFFT {
public:
    // In-place transform X[k] = sum_n x[n] exp(sign * 2 pi i n k / N), with
    // sign -1 (forward) or +1 (inverse, unscaled). N must be a power of two;
    // returns false otherwise (and for N = 0).
    static bool Transform(std::vector<std::complex<double>>& x, int sign);
    // Smallest power of two >= n (n >= 1).
    static size_t nextPowerOfTwo(size_t n);
};

}  // namespace amihost

#endif
