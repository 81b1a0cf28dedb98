#include "pz/PZImpulse.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "dsp/FFT.h"
#include "dsp/SetupChecks.h"

namespace Veltramodels20200612 {

namespace {

const double kPi = 3.141592653589793;
const double kTwoPi = 6.283185307179586;

// Longest impulse either route builds (samples). Simulators hand over at
// most about a million samples per channel; a root set whose response needs
// more (a root far below the bit rate) is cut at this length.
const int kMaxPointsPow2 = 20;

// Longest extra delay, in samples, that AdditionalTimeDelay may ask for.
const double kMaxDelaySamples = 16777216.0;

// The pre-warping angle |x|/(2 fs) is held below pi/2 by this relative margin.
const double kWarpMargin = 1e-9;

const std::vector<double> emptyReal;
const std::vector<std::complex<double>> emptyComplex;

const std::vector<double>& orEmpty(const std::vector<double>* v)
{
    return v ? *v : emptyReal;
}
const std::vector<std::complex<double>>& orEmpty(const std::vector<std::complex<double>>* v)
{
    return v ? *v : emptyComplex;
}

long long nextPow2AtLeast(double n)
{
    long long k = 1;
    while (static_cast<double>(k) < n && k < (1LL << 62))
        k <<= 1;
    return k;
}

}  // namespace

double PZImpulse::warpRoot(double x, double fs)
{
    double m = std::fabs(x);
    if (m == 0.0)
        return x;
    double angle = std::min(m / (2.0 * fs), 0.5 * kPi * (1.0 - kWarpMargin));
    return 2.0 * fs * std::tan(angle) * (x / m);
}

std::complex<double> PZImpulse::warpRoot(std::complex<double> x, double fs)
{
    double m = std::abs(x);
    if (m == 0.0)
        return x;
    double angle = std::min(m / (2.0 * fs), 0.5 * kPi * (1.0 - kWarpMargin));
    return x * (2.0 * fs * std::tan(angle) / m);
}

double PZImpulse::unwarpRoot(double x, double fs)
{
    double m = std::fabs(x);
    if (m == 0.0)
        return x;
    return 2.0 * fs * std::atan(m / (2.0 * fs)) * (x / m);
}

std::complex<double> PZImpulse::unwarpRoot(std::complex<double> x, double fs)
{
    double m = std::abs(x);
    if (m == 0.0)
        return x;
    return x * (2.0 * fs * std::atan(m / (2.0 * fs)) / m);
}

PZImpulse::PZImpulse()
    : TimeArray(nullptr),
      ImpulseArray(nullptr),
      BitRate(28e9),
      SamplesPerBit(32),
      GainDC(1.0),
      WarpFreq(1),
      AutoSetWarpFreq(0),
      InvertHs(0),
      Poles(nullptr),
      Zeros(nullptr),
      CPoles(nullptr),
      CZeros(nullptr),
      AdditionalTimeDelay(0.0),
      RootType(1),
      UseFile(nullptr),
      NumPoles(0),
      NumZeros(0),
      FMin(1e40),
      SampleRate(0.0),
      NumPoints(0),
      UseSpectrumRoute(0),
      BandLow(0.0),
      BandHigh(0.0),
      InverseLimit_dB(50.0),
      InverseRollOff(0.0),
      DelaySamples(0.0),
      DelayLineLength(0)
{
}

bool PZImpulse::Setup(std::ofstream* useFile, std::stringstream& msg)
{
    if (UseFile == nullptr && useFile != nullptr && useFile->is_open()) {
        *useFile << "Veltramodels20200612"
                 << "::"
                 << "PZImpulse"
                 << "\n";
        useFile->flush();
        UseFile = useFile;
    }
    SetupChecks check(msg);
    checkSettings(check, msg);
    double maxModulus = 0.0;
    checkRoots(check, &maxModulus);
    if (NumZeros >= NumPoles) {
        msg << "numPoles must be >= numZeros+1.\n";
        return false;
    }
    if (!check.ok())
        return false;
    return deriveGrid(maxModulus, msg);
}

void PZImpulse::checkSettings(SetupChecks& check, std::stringstream& msg)
{
    if (check.fault(!(BitRate > 0.0), "BitRate must be > 0.\n")) {
        if (SamplesPerBit < 4)
            msg << "SamplesPerBit must be >= 4.\n";
    } else if (!check.fault(SamplesPerBit < 4, "SamplesPerBit must be >= 4.\n") &&
               !check.fault(TimeArray == nullptr, "Time array must be assigned.\n")) {
        check.fault(ImpulseArray == nullptr, "Impulse array must be assigned.\n");
    }
    // A gain that is not a finite number would turn the whole response into NaN.
    check.fault(GainDC == 0.0 || !std::isfinite(GainDC), "GainDC must be non-zero.\n");
    check.fault(static_cast<unsigned>(WarpFreq) > 1u, "WarpFreq must be 0 or 1.\n");
    check.fault(static_cast<unsigned>(AutoSetWarpFreq) > 1u, "AutoSetWarpFreq must be 0 or 1.\n");
    check.fault(static_cast<unsigned>(InvertHs) > 1u, "InvertHs must be 0 or 1.\n");
    check.fault(!(AdditionalTimeDelay >= 0.0), "AdditionalTimeDelay must be >= 0.\n");
}

// Root counts, the smallest root frequency and the largest modulus, and the
// rules of the roots: real ones negative, complex ones in the left half-plane
// off the real axis. The comparisons are written so that a NaN root fails.
void PZImpulse::checkRoots(SetupChecks& check, double* maxModulus)
{
    const std::vector<double>& poles = orEmpty(Poles);
    const std::vector<double>& zeros = orEmpty(Zeros);
    const std::vector<std::complex<double>>& cpoles = orEmpty(CPoles);
    const std::vector<std::complex<double>>& czeros = orEmpty(CZeros);
    NumPoles = static_cast<int>(poles.size() + 2 * cpoles.size());
    NumZeros = static_cast<int>(zeros.size() + 2 * czeros.size());
    FMin = 1e40;
    auto track = [&](double modulus) {
        FMin = std::min(FMin, modulus / kTwoPi);
        if (modulus > *maxModulus)
            *maxModulus = modulus;
    };
    for (double p : poles) {
        track(std::fabs(p));
        check.fault(!(p < 0.0), "Poles must be in radians < 0.\n");
    }
    for (double z : zeros) {
        track(std::fabs(z));
        check.fault(!(z < 0.0), "Zeros must be in radians < 0.\n");
    }
    for (const std::complex<double>& c : cpoles) {
        track(std::abs(c));
        check.fault(!(std::abs(c) > 0.0), "CPoles must have magnitude > 0.\n");
        check.fault(!(c.real() < 0.0), "CPoles.real() must be < 0.\n");
        check.fault(c.imag() == 0.0, "CPoles.imag() must not be 0.\n");
    }
    for (const std::complex<double>& c : czeros) {
        track(std::abs(c));
        check.fault(!(std::abs(c) > 0.0), "CZeros must have magnitude > 0.\n");
        check.fault(!(c.real() < 0.0), "CZeros.real() must be < 0.\n");
        check.fault(c.imag() == 0.0, "CZeros.imag() must not be 0.\n");
    }
}

// The spectrum grid, the route, the band of interest and the delay line.
bool PZImpulse::deriveGrid(double maxModulus, std::stringstream& msg)
{
    const std::vector<std::complex<double>>& cpoles = orEmpty(CPoles);
    const std::vector<std::complex<double>>& czeros = orEmpty(CZeros);
    SampleRate = static_cast<double>(SamplesPerBit) * BitRate;
    const double fN = SampleRate / 2.0;
    const double df = FMin / 10.0;
    // K: the power of two above the one nearest to fN/df, at least 1024.
    double M = std::floor(fN / df);
    int exponent = 0;
    if (M >= 1.0) {
        double e = std::floor(std::log2(M) + 0.5) + 1.0;
        exponent = static_cast<int>(std::min(e, static_cast<double>(kMaxPointsPow2)));
    }
    NumPoints = std::max(1024LL, 1LL << exponent);

    bool hasComplex = !cpoles.empty() || !czeros.empty();
    UseSpectrumRoute = (hasComplex || InvertHs == 1 || RootType == 2) ? 1 : 0;
    if (UseSpectrumRoute) {
        // The band in true frequencies: pre-warped roots are taken back first.
        double minModulus = FMin * kTwoPi;
        if (WarpFreq == 1) {
            minModulus = std::fabs(unwarpRoot(minModulus, SampleRate));
            maxModulus = std::fabs(unwarpRoot(maxModulus, SampleRate));
        }
        BandLow = minModulus / kTwoPi;
        BandHigh = 2.0 * maxModulus / kTwoPi;
        InverseLimit_dB = 50.0;
    }

    DelaySamples = 0.0;
    DelayLineLength = 0;
    if (AdditionalTimeDelay > 0.0) {
        DelaySamples = AdditionalTimeDelay * SampleRate;
        if (!(DelaySamples <= kMaxDelaySamples)) {
            msg << "AdditionalTimeDelay must be <= " << kMaxDelaySamples / SampleRate << ".\n";
            return false;
        }
        DelayLineLength = static_cast<long long>(std::floor(DelaySamples + 0.5)) + 2;
    }
    return true;
}

bool PZImpulse::Initialize(std::stringstream& msg)
{
    if (TimeArray == nullptr || ImpulseArray == nullptr || !(SampleRate > 0.0) || NumPoints <= 0)
        return false;
    std::vector<double> h;
    bool ok = UseSpectrumRoute ? initializeSpectrum(msg, h) : initializeIIR(msg, h);
    if (!ok)
        return false;
    if (DelaySamples > 0.0)
        applyDelay(h);
    const double dt = 1.0 / SampleRate;
    TimeArray->resize(h.size());
    for (size_t j = 0; j < h.size(); ++j)
        (*TimeArray)[j] = static_cast<double>(j) * dt;
    *ImpulseArray = std::move(h);
    return true;
}

bool PZImpulse::initializeIIR(std::stringstream& msg, std::vector<double>& h)
{
    const double fs = SampleRate;
    // Positive rad/s copies: SPolesZeros may overwrite cancelled pairs.
    std::vector<double> p, z;
    for (double x : orEmpty(Poles))
        p.push_back(-(WarpFreq == 1 ? unwarpRoot(x, fs) : x));
    for (double x : orEmpty(Zeros))
        z.push_back(-(WarpFreq == 1 ? unwarpRoot(x, fs) : x));

    Filter = SPolesZeros();
    Filter.SampleRate = fs;
    Filter.Gain = GainDC;
    Filter.RealPoles = &p;
    Filter.RealZeros = &z;
    Filter.FreqUnit = 0;
    Filter.EnablePreWarping = 1;
    if (!Filter.Setup(UseFile, msg))
        return false;
    Filter.Initialize();

    h.assign(static_cast<size_t>(NumPoints), 0.0);
    for (long long j = 0; j < NumPoints; ++j) {
        Filter.Input = (j == 0) ? 1.0 : 0.0;
        Filter.Run(msg);
        h[static_cast<size_t>(j)] = Filter.Output;
    }
    Filter.RealPoles = nullptr;
    Filter.RealZeros = nullptr;
    shortenConverted_h_Out(h, 0.0);
    return true;
}

std::complex<double> PZImpulse::evaluate(std::complex<double> s, const std::vector<double>& p,
                                         const std::vector<double>& z,
                                         const std::vector<std::complex<double>>& cp,
                                         const std::vector<std::complex<double>>& cz) const
{
    // prod(1 - s/zero) / prod(1 - s/pole), 1 at s = 0. Factors are taken
    // alternately from numerator and denominator, so that the running value
    // stays in range far above the roots.
    std::complex<double> r(1.0, 0.0);
    size_t ip = 0, iz = 0, icp = 0, icz = 0;
    const std::complex<double> one(1.0, 0.0);
    while (ip < p.size() || iz < z.size() || icp < cp.size() || icz < cz.size()) {
        if (icp < cp.size()) {
            r /= (one - s / cp[icp]) * (one - s / std::conj(cp[icp]));
            ++icp;
        } else if (ip < p.size()) {
            r /= one - s / p[ip];
            ++ip;
        }
        if (icz < cz.size()) {
            r *= (one - s / cz[icz]) * (one - s / std::conj(cz[icz]));
            ++icz;
        } else if (iz < z.size()) {
            r *= one - s / z[iz];
            ++iz;
        }
    }
    return r;
}

// The spectrum route.
//  1. The roots are pre-warped (unless WarpFreq says they already are), so
//     that the response built is that of the bilinear transform of H(s),
//     the same digital filter as the IIR route: at frequency f it is
//     H(j 2 fs tan(pi f / fs)). For a strictly proper H it is exactly 0 at
//     fs/2.
//  2. Grid: N = 2 K' bins of an FFT at fs, K' >= K (the Setup grid, whose
//     step is at most a tenth of the lowest root frequency) and long enough
//     that the slowest pole of the response has decayed by e^-30 within K'
//     samples, at most 2^20.
//  3. The impulse is the inverse FFT of the Hermitian spectrum (1/N
//     scaling, so that the samples sum to the bin at 0 Hz: GainDC, or
//     1/GainDC), first K' samples (forceCausality). The plain response then
//     loses its exact trailing zeros only, like the IIR route's.
//  4. 1/H (InvertHs): the inverse of a strictly proper H has r = numPoles -
//     numZeros more zeros than poles and grows without bound. It is made
//     proper by r real poles at a common corner wc: 1/(H(s) (1 + s/wc)^r).
//     wc is chosen so that the response at high frequency lies 50 dB
//     (InverseLimit_dB) above its gain at 0 Hz, but not below the top of the
//     band of interest (twice the largest root frequency), so that the
//     inverse is kept there, and not above fs/4. Since H has its zeros in
//     the left half-plane, the result is causal and stable. Its tail is then
//     cut where it holds less than 1% of the gain at 0 Hz.
bool PZImpulse::initializeSpectrum(std::stringstream& /*msg*/, std::vector<double>& h)
{
    const double fs = SampleRate;
    std::vector<double> pw, zw;
    std::vector<std::complex<double>> cpw, czw;
    double slowest = std::numeric_limits<double>::infinity();
    const double bandEdge = kPi * fs * (1.0 - 1e-6);
    auto decay = [&](double rate, double modulus) {
        if (modulus < bandEdge && rate > 0.0)
            slowest = std::min(slowest, rate);
    };
    // log of prod |poles| / prod |zeros| (analog, pairs counted twice): the
    // high-frequency gain of H(s) (1 + s/wc)^r relative to 0 Hz is
    // exp(-logRatio) / wc^r.
    double logRatio = 0.0;
    const bool warped = (WarpFreq == 1);
    for (double x : orEmpty(Poles)) {
        pw.push_back(warped ? x : warpRoot(x, fs));
        double a = warped ? unwarpRoot(x, fs) : x;
        if (InvertHs == 0)
            decay(std::fabs(a), std::fabs(a));
        logRatio += std::log(std::fabs(a));
    }
    for (double x : orEmpty(Zeros)) {
        zw.push_back(warped ? x : warpRoot(x, fs));
        double a = warped ? unwarpRoot(x, fs) : x;
        if (InvertHs == 1)
            decay(std::fabs(a), std::fabs(a));
        logRatio -= std::log(std::fabs(a));
    }
    for (const std::complex<double>& x : orEmpty(CPoles)) {
        cpw.push_back(warped ? x : warpRoot(x, fs));
        std::complex<double> a = warped ? unwarpRoot(x, fs) : x;
        if (InvertHs == 0)
            decay(std::fabs(a.real()), std::abs(a));
        logRatio += 2.0 * std::log(std::abs(a));
    }
    for (const std::complex<double>& x : orEmpty(CZeros)) {
        czw.push_back(warped ? x : warpRoot(x, fs));
        std::complex<double> a = warped ? unwarpRoot(x, fs) : x;
        if (InvertHs == 1)
            decay(std::fabs(a.real()), std::abs(a));
        logRatio -= 2.0 * std::log(std::abs(a));
    }

    const int r = NumPoles - NumZeros;
    if (InvertHs == 1) {
        double wc = std::exp((InverseLimit_dB / 20.0 * std::log(10.0) + logRatio) / r);
        wc = std::max(wc, kTwoPi * BandHigh);
        wc = std::min(wc, kPi * fs / 2.0);
        InverseRollOff = wc;
        for (int i = 0; i < r; ++i)
            zw.push_back(warpRoot(-wc, fs));
        decay(wc, wc);
    }

    long long half = NumPoints;
    if (std::isfinite(slowest)) {
        double needed = 30.0 * fs / slowest;
        if (needed > static_cast<double>(half))
            half = nextPow2AtLeast(std::min(needed, static_cast<double>(1LL << kMaxPointsPow2)));
    }
    half = std::min(half, 1LL << kMaxPointsPow2);
    const long long N = 2 * half;

    std::vector<std::complex<double>> X(static_cast<size_t>(N));
    for (long long k = 0; k < half; ++k) {
        double f = static_cast<double>(k) * fs / static_cast<double>(N);
        std::complex<double> s(0.0, 2.0 * fs * std::tan(kPi * f / fs));
        std::complex<double> ratio = evaluate(s, pw, zw, cpw, czw);
        X[static_cast<size_t>(k)] = InvertHs == 1 ? 1.0 / (GainDC * ratio) : GainDC * ratio;
    }
    if (InvertHs == 0) {
        X[static_cast<size_t>(half)] = 0.0;  // H(infinity) of a strictly proper H
    } else {
        // H(s) (1 + s/wc)^r tends to prod|poles| / prod|zeros| (pre-warped).
        double logLimit = 0.0;
        for (double x : pw)
            logLimit += std::log(std::fabs(x));
        for (const std::complex<double>& x : cpw)
            logLimit += 2.0 * std::log(std::abs(x));
        for (double x : zw)
            logLimit -= std::log(std::fabs(x));
        for (const std::complex<double>& x : czw)
            logLimit -= 2.0 * std::log(std::abs(x));
        X[static_cast<size_t>(half)] = 1.0 / (GainDC * std::exp(logLimit));
    }
    if (!forceCausality(X, h))
        return false;
    shortenConverted_h_Out(h, InvertHs == 1 ? 0.01 : 0.0);
    return true;
}

bool PZImpulse::forceCausality(std::vector<std::complex<double>>& spectrum, std::vector<double>& impulse)
{
    const size_t N = spectrum.size();
    if (N < 4 || !FFT::isValidLength(N))
        return false;
    const size_t half = N / 2;
    spectrum[0] = spectrum[0].real();
    spectrum[half] = spectrum[half].real();
    for (size_t k = 1; k < half; ++k)
        spectrum[N - k] = std::conj(spectrum[k]);
    FFT fft(UseFile);
    fft.ComplexFFT(spectrum, 0);
    const double invN = 1.0 / static_cast<double>(N);
    impulse.resize(half);
    for (size_t n = 0; n < half; ++n)
        impulse[n] = spectrum[n].real() * invN;
    return true;
}

void PZImpulse::shortenConverted_h_Out(std::vector<double>& impulse, double tolerance)
{
    size_t n = impulse.size();
    while (n > 1 && impulse[n - 1] == 0.0)
        --n;
    impulse.resize(n);
    if (!(tolerance > 0.0) || n <= 1)
        return;
    double total = 0.0;
    for (double v : impulse)
        total += v;
    const double allowed = tolerance * std::fabs(total);
    double tailAbs = 0.0, tailSum = 0.0;
    size_t keep = n;
    while (keep > 1) {
        double v = impulse[keep - 1];
        if (tailAbs + std::fabs(v) > allowed)
            break;
        tailAbs += std::fabs(v);
        tailSum += v;
        --keep;
    }
    if (keep < n) {
        impulse.resize(keep);
        impulse[keep - 1] += tailSum;
    }
}

// Linear-interpolation delay line: y[n] = (1 - f) x[n - d] + f x[n - d - 1]
// with d + f = DelaySamples. The impulse is fed through it followed by
// enough zeros to let all of it out, so its sum is unchanged.
void PZImpulse::applyDelay(std::vector<double>& h) const
{
    const long long d = static_cast<long long>(std::floor(DelaySamples));
    const double f = DelaySamples - static_cast<double>(d);
    const long long length = std::max(DelayLineLength, d + 2);
    std::vector<double> line(static_cast<size_t>(length), 0.0);
    const long long outLength = static_cast<long long>(h.size()) + d + (f > 0.0 ? 1 : 0);
    std::vector<double> out(static_cast<size_t>(outLength));
    long long pos = 0;
    for (long long n = 0; n < outLength; ++n) {
        line[static_cast<size_t>(pos)] =
            n < static_cast<long long>(h.size()) ? h[static_cast<size_t>(n)] : 0.0;
        long long i0 = (pos - d) % length;
        if (i0 < 0)
            i0 += length;
        long long i1 = (i0 - 1 + length) % length;
        double x0 = n - d >= 0 ? line[static_cast<size_t>(i0)] : 0.0;
        double x1 = n - d - 1 >= 0 ? line[static_cast<size_t>(i1)] : 0.0;
        out[static_cast<size_t>(n)] = (1.0 - f) * x0 + f * x1;
        pos = (pos + 1) % length;
    }
    h = std::move(out);
}

}  // namespace Veltramodels20200612
