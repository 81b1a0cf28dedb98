#include "tools/ami-host/PulseEye.h"

#include <cmath>

namespace amihost {

namespace {

double at(const std::vector<double>& p, long i)
{
    return i >= 0 && i < static_cast<long>(p.size()) ? p[static_cast<size_t>(i)] : 0.0;
}

}  // namespace

std::vector<double> PulseEye::pulse(const std::vector<double>& impulse) const
{
    std::vector<double> p;
    if (impulse.empty() || SamplesPerBit < 1)
        return p;
    const size_t spb = static_cast<size_t>(SamplesPerBit);
    p.resize(impulse.size() + spb - 1);
    // Sliding sum with the exact window recomputed once per bit, so rounding
    // does not accumulate over long channels.
    double sum = 0.0;
    for (size_t n = 0; n < p.size(); ++n) {
        if (n % spb == 0) {
            sum = 0.0;
            for (size_t m = (n + 1 > spb ? n + 1 - spb : 0); m <= n && m < impulse.size(); ++m)
                sum += impulse[m];
        } else {
            if (n < impulse.size())
                sum += impulse[n];
            if (n >= spb && n - spb < impulse.size())
                sum -= impulse[n - spb];
        }
        p[n] = sum * SampleInterval;
    }
    return p;
}

double PulseEye::heightAt(const std::vector<double>& p, long index) const
{
    const long spb = SamplesPerBit;
    double isi = 0.0;
    // Cursors k != 0 lie at index + k * spb inside the pulse.
    long first = index % spb;
    if (first < 0)
        first += spb;
    for (long i = first; i < static_cast<long>(p.size()); i += spb)
        if (i != index)
            isi += std::fabs(p[static_cast<size_t>(i)]);
    return at(p, index) - isi;
}

EyeMetrics PulseEye::analyse(const std::vector<double>& input) const
{
    EyeMetrics m;
    if (input.empty() || SamplesPerBit < 2)
        return m;
    size_t peak = 0;
    for (size_t i = 1; i < input.size(); ++i)
        if (std::fabs(input[i]) > std::fabs(input[peak]))
            peak = i;
    if (input[peak] == 0.0)
        return m;
    m.Valid = true;
    m.PulsePeak = input[peak];
    m.PeakIndex = static_cast<long>(peak);
    m.Inverted = input[peak] < 0.0;
    std::vector<double> flipped;
    if (m.Inverted) {
        flipped = input;
        for (double& v : flipped)
            v = -v;
    }
    const std::vector<double>& p = m.Inverted ? flipped : input;

    const long spb = SamplesPerBit;
    const long c = m.PeakIndex;
    // Heights over +-1 bit around the peak; the best within +-half a bit.
    std::vector<double> h(static_cast<size_t>(2 * spb + 1));
    for (long d = -spb; d <= spb; ++d)
        h[static_cast<size_t>(d + spb)] = heightAt(p, c + d);
    long best = 0;
    for (long d = -spb / 2; d <= spb / 2; ++d)
        if (h[static_cast<size_t>(d + spb)] > h[static_cast<size_t>(best + spb)])
            best = d;
    const double hb = h[static_cast<size_t>(best + spb)];
    m.BestIndex = c + best;
    m.MainCursor = at(p, c + best);
    m.EyeHeight = hb;
    m.BestPhaseUI = static_cast<double>(best) / static_cast<double>(spb);
    if (hb > 0.0) {
        // Walk out to the first closed phase on each side; interpolate the
        // zero crossing. An open eye is narrower than one bit (see above), so
        // the walk ends inside the +-1 bit window.
        double left = -spb, right = spb;
        for (long d = best; d > -spb; --d) {
            const double a = h[static_cast<size_t>(d - 1 + spb)], b = h[static_cast<size_t>(d + spb)];
            if (a <= 0.0) {
                left = static_cast<double>(d) - b / (b - a);
                break;
            }
        }
        for (long d = best; d < spb; ++d) {
            const double a = h[static_cast<size_t>(d + spb)], b = h[static_cast<size_t>(d + 1 + spb)];
            if (b <= 0.0) {
                right = static_cast<double>(d) + a / (a - b);
                break;
            }
        }
        m.EyeWidthUI = (right - left) / static_cast<double>(spb);
    }
    return m;
}

std::vector<EyeContourRow> PulseEye::contours(const std::vector<double>& input, const EyeMetrics& m) const
{
    std::vector<EyeContourRow> rows;
    if (!m.Valid)
        return rows;
    const double sign = m.Inverted ? -1.0 : 1.0;
    const long spb = SamplesPerBit;
    for (long d = -spb; d <= spb; ++d) {
        const long index = m.BestIndex + d;
        EyeContourRow r;
        r.PhaseUI = static_cast<double>(d) / static_cast<double>(spb);
        long first = index % spb;
        if (first < 0)
            first += spb;
        double isiLow = 0.0, isiHigh = 0.0, allLow = 0.0, allHigh = 0.0;
        for (long i = first; i < static_cast<long>(input.size()); i += spb) {
            const double v = sign * input[static_cast<size_t>(i)];
            (v < 0.0 ? allLow : allHigh) += v;
            if (i != index)
                (v < 0.0 ? isiLow : isiHigh) += v;
        }
        r.WorstOne = at(input, index) * sign + isiLow;
        r.WorstZero = isiHigh;
        r.EnvelopeTop = allHigh;
        r.EnvelopeBottom = allLow;
        rows.push_back(r);
    }
    return rows;
}

double PulseEye::worstCrosstalk(const std::vector<double>& p) const
{
    double worst = 0.0;
    for (long phase = 0; phase < SamplesPerBit; ++phase) {
        double s = 0.0;
        for (long i = phase; i < static_cast<long>(p.size()); i += SamplesPerBit)
            s += std::fabs(p[static_cast<size_t>(i)]);
        if (s > worst)
            worst = s;
    }
    return worst;
}

}  // namespace amihost
