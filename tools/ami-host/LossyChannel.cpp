#include "tools/ami-host/LossyChannel.h"

#include <cmath>

#include "tools/ami-host/HostFFT.h"
#include "tools/ami-host/NumberText.h"

namespace amihost {

namespace {

const double kPi = 3.14159265358979323846;
const double kLightSpeed = 299792458.0;  // m/s
const double kMetresPerInch = 0.0254;
const double kDbPerNeper = 8.68588963806503655302;
const double kDebyeLow = 1e3;    // f1 of the wideband Debye model, Hz
const double kDebyeHigh = 1e12;  // f2
const double kDebyeDecades = 9;  // m2 - m1

// log10((f2 + j f) / (f1 + j f)) / (m2 - m1): 1 at 0 Hz, falling through the band.
std::complex<double> debyeShape(double f)
{
    const std::complex<double> ratio =
        std::complex<double>(kDebyeHigh, f) / std::complex<double>(kDebyeLow, f);
    return std::log(ratio) / (std::log(10.0) * kDebyeDecades);
}

}  // namespace

bool LossyChannel::check(std::string& error) const
{
    if (!(LengthMetres > 0.0 && LengthMetres <= 10.0))
        error = "channel length must be > 0 and <= 10 m";
    else if (!(EpsilonR >= 1.0 && EpsilonR <= 20.0))
        error = "relative permittivity must be in [1, 20]";
    else if (!(LossTangent >= 0.0 && LossTangent <= 0.2))
        error = "loss tangent must be in [0, 0.2]";
    else if (!(ConductorLossDbPerInch >= 0.0 && ConductorLossDbPerInch <= 10.0))
        error = "conductor loss must be in [0, 10] dB/inch";
    else if (!(ReferenceFrequency > 0.0 && std::isfinite(ReferenceFrequency)))
        error = "reference frequency must be > 0";
    else if (!(BitRate >= 1e6 && BitRate <= 1e12))
        error = "bit rate must be between 1 Mb/s and 1000 Gb/s";
    else if (SamplesPerBit < 4 || SamplesPerBit > 1024)
        error = "samples per bit must be in [4, 1024]";
    else if (RecordBits < 16 || static_cast<long>(RecordBits) * SamplesPerBit > (1L << 22))
        error = "channel record must be at least 16 bits and at most 4194304 samples";
    else
        return true;
    return false;
}

double LossyChannel::deltaEps() const
{
    // Im eps(f_ref) = d_eps Im g(f_ref) must equal -EpsilonR tan(delta).
    const double img = debyeShape(ReferenceFrequency).imag();
    return img < 0.0 ? -EpsilonR * LossTangent / img : 0.0;
}

double LossyChannel::epsInfinity() const
{
    return EpsilonR - deltaEps() * debyeShape(ReferenceFrequency).real();
}

std::complex<double> LossyChannel::permittivity(double f) const
{
    return epsInfinity() + deltaEps() * debyeShape(f);
}

std::complex<double> LossyChannel::transfer(double f) const
{
    const std::complex<double> j(0.0, 1.0);
    const double alphaRef = ConductorLossDbPerInch / kDbPerNeper / kMetresPerInch;  // Np/m
    const std::complex<double> gammaC = std::sqrt(2.0) * alphaRef * std::sqrt(j * (f / ReferenceFrequency));
    const std::complex<double> gammaD = j * (2.0 * kPi * f / kLightSpeed) * std::sqrt(permittivity(f));
    const double wavefront = LengthMetres * std::sqrt(epsInfinity()) / kLightSpeed;
    return std::exp(-(gammaC + gammaD) * LengthMetres + j * (2.0 * kPi * f * wavefront));
}

double LossyChannel::lossDb(double f) const
{
    return -20.0 * std::log10(std::abs(transfer(f)));
}

bool LossyChannel::Build(std::vector<double>& impulse, double& sampleInterval, std::string& error) const
{
    if (!check(error))
        return false;
    const double dt = 1.0 / (BitRate * SamplesPerBit);
    const size_t rows = static_cast<size_t>(RecordBits) * static_cast<size_t>(SamplesPerBit);
    const size_t n = HostFFT::nextPowerOfTwo(16 * rows);
    const double df = 1.0 / (static_cast<double>(n) * dt);
    std::vector<std::complex<double>> spectrum(n);
    for (size_t k = 0; k <= n / 2; ++k) {
        const std::complex<double> h = transfer(static_cast<double>(k) * df);
        spectrum[k] = h;
        if (k > 0 && k < n / 2)
            spectrum[n - k] = std::conj(h);
    }
    // The bin at half the sampling rate stands for both signs of frequency.
    spectrum[n / 2] = std::complex<double>(spectrum[n / 2].real(), 0.0);
    if (!HostFFT::Transform(spectrum, +1)) {
        error = "internal error: FFT size";
        return false;
    }
    impulse.assign(rows, 0.0);
    for (size_t i = 0; i < rows; ++i)
        impulse[i] = spectrum[i].real() / (static_cast<double>(n) * dt);
    sampleInterval = dt;
    return true;
}

std::string LossyChannel::describe() const
{
    const double nyquist = BitRate / 2.0;
    return "embedded channel: " + NumberText::fixed(LengthMetres, 3) + " m stripline, er " +
           NumberText::fixed(EpsilonR, 2) + " tan d " + NumberText::fixed(LossTangent, 4) + " at " +
           NumberText::fixed(ReferenceFrequency / 1e9, 3) + " GHz (causal wideband Debye), copper " +
           NumberText::fixed(ConductorLossDbPerInch, 3) + " dB/in at " +
           NumberText::fixed(ReferenceFrequency / 1e9, 3) + " GHz x sqrt(f); loss " +
           NumberText::fixed(lossDb(nyquist), 1) + " dB at " + NumberText::fixed(nyquist / 1e9, 3) +
           " GHz (Nyquist); " + NumberText::fixed(BitRate / 1e9, 3) + " Gb/s, " +
           std::to_string(SamplesPerBit) + " samples/bit, " +
           std::to_string(static_cast<long>(RecordBits) * SamplesPerBit) + " samples";
}

}  // namespace amihost
