#include "dsp/SpanConvolution.h"

#include <algorithm>
#include <cstdint>

#include "dsp/SampleVectors.h"

namespace Veltramodels20200612 {

bool SpanConvolution::Convolve(const std::vector<double>& h, const double* x, std::size_t count, double* y,
                               std::size_t outputs)
{
    if (h.empty() || h.size() > (std::size_t(1) << 23))
        return false;
    // The input's nonzero span, searched from both ends (a long channel is
    // not read through for it).
    std::int64_t xFirst = -1, xLast = -1;
    for (std::size_t i = 0; i < count; ++i) {
        if (x[i] != 0.0) {
            xFirst = static_cast<std::int64_t>(i);
            break;
        }
    }
    for (std::size_t i = count; xFirst >= 0 && i-- > 0;) {
        if (x[i] != 0.0) {
            xLast = static_cast<std::int64_t>(i);
            break;
        }
    }
    const std::int64_t hFirst = SampleVectors::firstNonzero(h);
    const std::int64_t hLast = SampleVectors::lastNonzero(h);
    const std::int64_t n = static_cast<std::int64_t>(outputs);
    if (xFirst < 0 || hFirst < 0 || hFirst + xFirst >= n) {
        std::fill(y, y + outputs, 0.0);
        return true;
    }
    const std::int64_t lo = hFirst + xFirst;
    const std::int64_t hi = std::min(hLast + xLast, n - 1);
    const double firstProduct = h[static_cast<std::size_t>(hFirst)] * x[xFirst];
    const double lastProduct = h[static_cast<std::size_t>(hLast)] * x[xLast];

    // The taps up to their last nonzero one, leading zeros included: the
    // block outputs then start at the input's first nonzero sample, never
    // ahead of the inputs still to be read, which lets y be x.
    // The transform length is fitted to the input length, so the spectrum
    // is kept only for an input of the same length.
    const std::size_t used = static_cast<std::size_t>(hLast + 1);
    const std::size_t length = static_cast<std::size_t>(xLast - xFirst + 1);
    if (length != length_ || taps_.size() != used || !std::equal(taps_.begin(), taps_.end(), h.begin())) {
        taps_.assign(h.begin(), h.begin() + static_cast<std::ptrdiff_t>(used));
        length_ = length;
        if (!conv_.SetTaps(taps_, length)) {
            taps_.clear();
            return false;
        }
    }
    conv_.Convolve(0, x + xFirst, length, y + xFirst, static_cast<std::size_t>(hi + 1 - xFirst));
    std::fill(y, y + lo, 0.0);
    std::fill(y + hi + 1, y + n, 0.0);
    y[lo] = firstProduct;
    if (hi == hLast + xLast)
        y[hi] = lastProduct;
    return true;
}

}  // namespace Veltramodels20200612
