#include "tools/ami-host/HostFFT.h"

#include <cmath>

namespace amihost {

size_t HostFFT::nextPowerOfTwo(size_t n)
{
    size_t p = 1;
    while (p < n)
        p <<= 1;
    return p;
}

bool HostFFT::Transform(std::vector<std::complex<double>>& x, int sign)
{
    const size_t n = x.size();
    if (n == 0 || (n & (n - 1)) != 0 || (sign != 1 && sign != -1))
        return false;
    // Bit-reversal permutation.
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(x[i], x[j]);
    }
    // Twiddles straight from cos/sin (no recurrence), so the error stays at
    // the rounding level even for a million points.
    const double pi = 3.14159265358979323846;
    std::vector<std::complex<double>> w(n / 2);
    for (size_t k = 0; k < n / 2; ++k) {
        const double a = sign * 2.0 * pi * static_cast<double>(k) / static_cast<double>(n);
        w[k] = std::complex<double>(std::cos(a), std::sin(a));
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const size_t half = len / 2;
        const size_t step = n / len;
        for (size_t start = 0; start < n; start += len) {
            for (size_t k = 0; k < half; ++k) {
                const std::complex<double> t = w[k * step] * x[start + k + half];
                x[start + k + half] = x[start + k] - t;
                x[start + k] += t;
            }
        }
    }
    return true;
}

}  // namespace amihost
