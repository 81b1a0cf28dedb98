#include "framework/SpectrumDataToImpulse.h"

#include <cmath>

namespace Veltramodels20200612 {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Relative level below which the tail of the impulse counts as settled.
constexpr double kTailFloor = 1e-6;

// In-place iterative radix-2 FFT, e^{+j} kernel (inverse direction, unscaled).
void inverseFFT(std::vector<std::complex<double>>& x)
{
    const size_t n = x.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(x[i], x[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const double ang = 2.0 * kPi / static_cast<double>(len);
        const std::complex<double> wl(std::cos(ang), std::sin(ang));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> w(1.0, 0.0);
            for (size_t k = 0; k < len / 2; ++k) {
                const std::complex<double> u = x[i + k];
                const std::complex<double> v = x[i + k + len / 2] * w;
                x[i + k] = u + v;
                x[i + k + len / 2] = u - v;
                // Recompute the twiddle directly every 64 steps to keep
                // rounding from accumulating on long transforms.
                if (((k + 1) & 63u) == 0)
                    w = std::polar(1.0, ang * static_cast<double>(k + 1));
                else
                    w *= wl;
            }
        }
    }
}

struct Node {
    double f;
    std::complex<double> h;  // real/imag value
    double mag;
    double phase;  // unwrapped, radians
};

// One node per data point and, when the data start above 0 Hz, a 0 Hz node
// in front of them (magnitude held or extrapolated, zero phase).
std::vector<Node> dataNodes(const SpectrumDataToImpulse& s)
{
    const size_t m = s.Frequency.size();
    std::vector<Node> nodes;
    nodes.reserve(m + 1);
    for (size_t i = 0; i < m; ++i) {
        std::complex<double> h(s.RealPart[i], s.ImagPart[i]);
        if (i == 0 && s.Frequency[0] == 0.0 && s.ZeroHzCorrection == 1)
            h = std::complex<double>(h.real(), 0.0);
        nodes.push_back({s.Frequency[i], h, std::abs(h), std::arg(h)});
    }
    if (s.Frequency[0] > 0.0) {
        double dcMag = 0.0;
        if (s.ExtrapolationType == 1 || (s.ExtrapolationType == 2 && m == 1)) {
            dcMag = nodes[0].mag;
        } else if (s.ExtrapolationType == 2) {
            const double slope = (nodes[1].mag - nodes[0].mag) / (nodes[1].f - nodes[0].f);
            dcMag = nodes[0].mag - slope * nodes[0].f;
            if (dcMag < 0.0)
                dcMag = 0.0;
        }
        nodes.insert(nodes.begin(), Node{0.0, std::complex<double>(dcMag, 0.0), dcMag, 0.0});
    }
    return nodes;
}

void unwrapPhase(std::vector<Node>& nodes)
{
    for (size_t i = 1; i < nodes.size(); ++i) {
        double d = nodes[i].phase - nodes[i - 1].phase;
        d -= 2.0 * kPi * std::floor((d + kPi) / (2.0 * kPi));
        nodes[i].phase = nodes[i - 1].phase + d;
    }
}

// Takes out the bulk delay (the mean phase slope over the band where the
// response is not negligible) so that only the slowly varying rest is
// interpolated between data points; interpolating a fast-turning phase
// directly would leave periodic errors that show up as echoes at multiples
// of 1 / (data spacing). Returns the delay, in seconds.
double removeBulkDelay(std::vector<Node>& nodes)
{
    double delay = 0.0;
    double maxMag = 0.0;
    for (const Node& nd : nodes)
        maxMag = std::fmax(maxMag, nd.mag);
    size_t last = 0;
    for (size_t i = 0; i < nodes.size(); ++i)
        if (nodes[i].mag >= 1e-3 * maxMag)
            last = i;
    if (last > 0 && nodes[last].f > nodes[0].f)
        delay = -(nodes[last].phase - nodes[0].phase) / (2.0 * kPi * (nodes[last].f - nodes[0].f));
    for (Node& nd : nodes) {
        nd.phase += 2.0 * kPi * nd.f * delay;
        nd.h = std::polar(nd.mag, nd.phase);
    }
    return delay;
}

// Data spaced df apart describe a response only up to a length of 1/df;
// past half of that, interpolation errors return as echoes. The longest
// impulse the widest spacing below half the sample rate resolves, at most n
// samples; 0 = no limit.
size_t resolvedLength(const std::vector<double>& frequency, double sampleRate, size_t n)
{
    double widest = 0.0;
    for (size_t i = 1; i < frequency.size() && frequency[i - 1] < 0.5 * sampleRate; ++i)
        widest = std::fmax(widest, frequency[i] - frequency[i - 1]);
    if (!(widest > 0.0))
        return 0;
    const double span = std::floor(0.5 * sampleRate / widest);
    return span < static_cast<double>(n) ? static_cast<size_t>(span) + 1 : n;
}

// The response at f between nodes a and b: linear in real/imag parts, or
// (interpolationType 1) in magnitude and unwrapped phase.
std::complex<double> between(const Node& a, const Node& b, double f, int interpolationType)
{
    const double t = (f - a.f) / (b.f - a.f);
    if (interpolationType != 1)
        return a.h + t * (b.h - a.h);
    const double mag = a.mag + t * (b.mag - a.mag);
    const double ph = a.phase + t * (b.phase - a.phase);
    return std::polar(mag, ph);
}

}  // namespace

SpectrumDataToImpulse::SpectrumDataToImpulse()
    : SampleRate(0.0),
      FFT_Exponent(17),
      SpectrumScale(1.0),
      InterpolationType(1),
      TaperFraction(0.05),
      ExtrapolationType(2),
      EnforceCausality(1),
      ZeroHzCorrection(1),
      AcausalFractionLog2(2),
      NumSamples(0),
      resolvedSamples(0),
      useFile(nullptr),
      initialized(false)
{
}

bool SpectrumDataToImpulse::Setup(std::ofstream* file, std::stringstream& msg)
{
    if (file != nullptr && file->is_open() && useFile == nullptr) {
        *file << "Veltramodels20200612::SpectrumDataToImpulse\n";
        useFile = file;
    }
    initialized = false;
    bool ok = true;
    if (Frequency.empty()) {
        msg << "Frequency vector size must be > 0.\n";
        ok = false;
    } else if (RealPart.size() != Frequency.size() || ImagPart.size() != Frequency.size()) {
        msg << "RealPart and ImagPart vector sizes must equal the Frequency vector size.\n";
        ok = false;
    } else {
        bool ordered = std::isfinite(Frequency[0]) && Frequency[0] >= 0.0;
        bool finite = true;
        for (size_t i = 0; i < Frequency.size(); ++i) {
            if (i > 0 && !(Frequency[i] > Frequency[i - 1] && std::isfinite(Frequency[i])))
                ordered = false;
            if (!std::isfinite(RealPart[i]) || !std::isfinite(ImagPart[i]))
                finite = false;
        }
        if (!ordered) {
            msg << "Frequency values must be >= 0 and strictly ascending.\n";
            ok = false;
        }
        if (!finite) {
            msg << "Spectrum values must be finite.\n";
            ok = false;
        }
    }
    if (!(SampleRate > 0.0) || !std::isfinite(SampleRate)) {
        msg << "SampleRate must be > 0.\n";
        ok = false;
    }
    if (FFT_Exponent < 4 || FFT_Exponent > 24) {
        msg << "FFT_Exponent must be an integer in the range [4, 24].\n";
        ok = false;
    }
    if (!(SpectrumScale != 0.0) || !std::isfinite(SpectrumScale)) {
        msg << "SpectrumScale must be a nonzero finite value.\n";
        ok = false;
    }
    if (static_cast<unsigned int>(InterpolationType) > 1u) {
        msg << "InterpolationType must be either 0 or 1.\n";
        ok = false;
    }
    if (!(TaperFraction >= 0.0 && TaperFraction <= 0.5)) {
        msg << "TaperFraction must be a value in the range [0, 0.5].\n";
        ok = false;
    }
    if (static_cast<unsigned int>(ExtrapolationType) > 2u) {
        msg << "ExtrapolationType must be an integer in the range [0, 2].\n";
        ok = false;
    }
    if (static_cast<unsigned int>(EnforceCausality) > 1u) {
        msg << "EnforceCausality must be either 0 or 1.\n";
        ok = false;
    }
    if (static_cast<unsigned int>(ZeroHzCorrection) > 1u) {
        msg << "ZeroHzCorrection must be either 0 or 1.\n";
        ok = false;
    }
    if (AcausalFractionLog2 < 1 || AcausalFractionLog2 > 8) {
        msg << "AcausalFractionLog2 must be an integer in the range [1, 8].\n";
        ok = false;
    }
    if (ok && Frequency[0] > 0.5 * SampleRate) {
        msg << "Spectrum data must start at or below half the SampleRate.\n";
        ok = false;
    }
    return ok;
}

bool SpectrumDataToImpulse::Initialize(std::stringstream& msg)
{
    initialized = false;
    grid.clear();
    if (Frequency.empty() || RealPart.size() != Frequency.size() || ImagPart.size() != Frequency.size() ||
        FFT_Exponent < 4 || FFT_Exponent > 24 || !(SampleRate > 0.0)) {
        msg << "SpectrumDataToImpulse::Setup must succeed before Initialize.\n";
        return false;
    }
    std::vector<Node> nodes = dataNodes(*this);
    unwrapPhase(nodes);
    const double delay = removeBulkDelay(nodes);

    const size_t n = size_t(1) << FFT_Exponent;
    const size_t half = n / 2;
    resolvedSamples = resolvedLength(Frequency, SampleRate, n);
    const double df = SampleRate / static_cast<double>(n);
    const double fTop = std::fmin(nodes.back().f, 0.5 * SampleRate);
    const double taperStart = fTop * (1.0 - TaperFraction);
    grid.assign(half + 1, std::complex<double>(0.0, 0.0));
    size_t j = 0;
    for (size_t k = 0; k <= half; ++k) {
        const double f = static_cast<double>(k) * df;
        if (f > fTop)
            break;
        while (j + 1 < nodes.size() && nodes[j + 1].f < f)
            ++j;
        std::complex<double> h =
            (j + 1 >= nodes.size()) ? nodes[j].h : between(nodes[j], nodes[j + 1], f, InterpolationType);
        h *= std::polar(1.0, -2.0 * kPi * f * delay);
        if (TaperFraction > 0.0 && f > taperStart && fTop > taperStart)
            h *= 0.5 * (1.0 + std::cos(kPi * (f - taperStart) / (fTop - taperStart)));
        grid[k] = h * SpectrumScale;
    }
    // A real sequence has real values at 0 Hz and at half the sample rate.
    if (ZeroHzCorrection == 1)
        grid[0] = std::complex<double>(grid[0].real(), 0.0);
    grid[half] = std::complex<double>(grid[half].real(), 0.0);
    initialized = true;
    return true;
}

bool SpectrumDataToImpulse::Run(std::stringstream& msg)
{
    Impulse.clear();
    NumSamples = 0;
    if (!initialized) {
        msg << "SpectrumDataToImpulse::Initialize must succeed before Run.\n";
        return false;
    }
    const size_t half = grid.size() - 1;
    const size_t n = 2 * half;
    std::vector<std::complex<double>> x(n);
    x[0] = std::complex<double>(grid[0].real(), 0.0);
    for (size_t k = 1; k < half; ++k) {
        x[k] = grid[k];
        x[n - k] = std::conj(grid[k]);
    }
    x[half] = grid[half];
    inverseFFT(x);

    size_t keep = n;
    if (EnforceCausality == 1) {
        keep = n - (n >> AcausalFractionLog2);
        if (resolvedSamples > 0 && resolvedSamples < keep)
            keep = resolvedSamples;
    }
    Impulse.resize(keep);
    double peak = 0.0;
    for (size_t i = 0; i < keep; ++i) {
        Impulse[i] = x[i].real() / static_cast<double>(n);
        peak = std::fmax(peak, std::fabs(Impulse[i]));
    }
    // Cut the settled tail: the first sample from which on every sample stays
    // below kTailFloor of the peak and what the rest would still add to the
    // step (the suffix sum) stays below kTailFloor of the larger of the peak
    // and the total sum.
    double total = 0.0;
    for (size_t i = 0; i < keep; ++i)
        total += Impulse[i];
    const double sampleFloor = kTailFloor * peak;
    const double sumFloor = kTailFloor * std::fmax(peak, std::fabs(total));
    size_t last = 0;
    double suffix = 0.0;
    for (size_t i = keep; i-- > 0;) {
        suffix += Impulse[i];
        if (std::fabs(Impulse[i]) > sampleFloor || std::fabs(suffix) > sumFloor) {
            last = i;
            break;
        }
    }
    Impulse.resize(last + 1);
    Impulse.shrink_to_fit();
    NumSamples = static_cast<int>(Impulse.size());
    return true;
}

void SpectrumDataToImpulse::Finalize()
{
    grid.clear();
    grid.shrink_to_fit();
    initialized = false;
}

}  // namespace Veltramodels20200612
