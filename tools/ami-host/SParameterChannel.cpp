#include "tools/ami-host/SParameterChannel.h"

#include <algorithm>
#include <cmath>

#include "tools/ami-host/HostFFT.h"
#include "tools/ami-host/NumberText.h"

namespace amihost {

namespace {

const double kPi = 3.14159265358979323846;

double wrapPhase(double p)
{
    while (p > kPi)
        p -= 2.0 * kPi;
    while (p <= -kPi)
        p += 2.0 * kPi;
    return p;
}

std::string hz(double f)
{
    if (f >= 1e9)
        return NumberText::format(std::round(f / 1e9 * 1e6) / 1e6) + " GHz";
    if (f >= 1e6)
        return NumberText::format(std::round(f / 1e6 * 1e6) / 1e6) + " MHz";
    if (f >= 1e3)
        return NumberText::format(std::round(f / 1e3 * 1e6) / 1e6) + " kHz";
    return NumberText::format(f) + " Hz";
}

std::string percent(double fraction)
{
    return NumberText::fixed(100.0 * fraction, fraction < 0.001 ? 4 : 2) + "%";
}

std::string listOf(const std::vector<int>& v)
{
    std::string s;
    for (size_t i = 0; i < v.size(); ++i)
        s += (i ? "," : "") + std::to_string(v[i]);
    return s;
}

}  // namespace

void SParameterChannel::linePorts(int ports, int line, int& in, int& out) const
{
    if (PortMap == "12_34") {
        in = 2 * line - 1;
        out = 2 * line;
    } else {
        in = line;
        out = line + ports / 2;
    }
}

bool SParameterChannel::responses(const TouchstoneNetwork& net, std::vector<SParameterResponse>& out,
                                  std::string& error) const
{
    out.clear();
    const int n = net.Ports;
    const size_t count = net.Frequencies.size();
    if (PortMap != "13_24" && PortMap != "12_34") {
        error = "--port-map must be 13_24 or 12_34, got '" + PortMap + "'";
        return false;
    }
    if (n == 2) {
        if (ThroughPair != 1 || !FextPairs.empty() || !NextPairs.empty()) {
            error = "a 2-port file has one line: --through-pair, --fext and --next need 4 or more ports";
            return false;
        }
        SParameterResponse r;
        r.Name = "S21 (port 1 -> port 2)";
        for (size_t k = 0; k < count; ++k)
            r.H.push_back(net.at(k, 1, 0));
        out.push_back(r);
        return true;
    }
    if (n < 4 || n % 4 != 0) {
        error = "a " + std::to_string(n) +
                "-port network: ami-host reads 2-port files (S21) and files of 4, 8, 12, 16 ... ports "
                "(differential pairs)";
        return false;
    }
    const int pairs = n / 4;
    auto checkPair = [&](int p, const char* what) {
        if (p < 1 || p > pairs) {
            error =
                std::string(what) + " " + std::to_string(p) + ": the file has " +
                (pairs == 1 ? std::string("one differential pair") : "pairs 1 to " + std::to_string(pairs));
            return false;
        }
        if (p == ThroughPair && std::string(what) != "--through-pair") {
            error = std::string(what) + " " + std::to_string(p) + " is the through pair";
            return false;
        }
        return true;
    };
    if (!checkPair(ThroughPair, "--through-pair"))
        return false;
    for (int p : FextPairs)
        if (!checkPair(p, "--fext pair"))
            return false;
    for (int p : NextPairs)
        if (!checkPair(p, "--next pair"))
            return false;
    // Ports (0-based) of a pair's two lines at the input or output end.
    auto ends = [&](int pair, bool outputEnd, int& plus, int& minus) {
        int in1, out1, in2, out2;
        linePorts(n, 2 * pair - 1, in1, out1);
        linePorts(n, 2 * pair, in2, out2);
        plus = (outputEnd ? out1 : in1) - 1;
        minus = (outputEnd ? out2 : in2) - 1;
    };
    auto sdd = [&](int observedPair, int drivenPair, bool drivenAtOutput) {
        int op, om, dp, dm;
        ends(observedPair, true, op, om);
        ends(drivenPair, drivenAtOutput, dp, dm);
        std::vector<std::complex<double>> h(count);
        for (size_t k = 0; k < count; ++k)
            h[k] = 0.5 * (net.at(k, op, dp) - net.at(k, op, dm) - net.at(k, om, dp) + net.at(k, om, dm));
        return h;
    };
    auto describe = [&](int pair) {
        int i1, o1, i2, o2;
        linePorts(n, 2 * pair - 1, i1, o1);
        linePorts(n, 2 * pair, i2, o2);
        return "lines " + std::to_string(i1) + "->" + std::to_string(o1) + " and " + std::to_string(i2) +
               "->" + std::to_string(o2);
    };
    SParameterResponse through;
    through.Name = "SDD21 of pair " + std::to_string(ThroughPair) + " (" + describe(ThroughPair) +
                   "; --port-map " + PortMap + ")";
    through.H = sdd(ThroughPair, ThroughPair, false);
    out.push_back(through);
    for (int p : FextPairs) {
        SParameterResponse r;
        r.Name = "FEXT from pair " + std::to_string(p) + " (" + describe(p) + ", driven at its inputs)";
        r.H = sdd(ThroughPair, p, false);
        out.push_back(r);
    }
    for (int p : NextPairs) {
        SParameterResponse r;
        r.Name = "NEXT from pair " + std::to_string(p) + " (" + describe(p) + ", driven at its outputs)";
        r.H = sdd(ThroughPair, p, true);
        out.push_back(r);
    }
    return true;
}

size_t SParameterChannel::fftLength(const std::vector<double>& frequencies, double dt)
{
    std::vector<double> steps;
    for (size_t k = 1; k < frequencies.size(); ++k)
        steps.push_back(frequencies[k] - frequencies[k - 1]);
    if (steps.empty())
        return 4096;
    std::nth_element(steps.begin(), steps.begin() + static_cast<long>(steps.size() / 2), steps.end());
    const double step = steps[steps.size() / 2];
    const double points = 1.0 / (step * dt);
    // At least 2048 kept samples; at most 2^20 (a channel of millions of
    // samples would only be the data's noise floor).
    if (!(points < static_cast<double>(size_t(1) << 21)))
        return size_t(1) << 21;
    return std::max<size_t>(4096, HostFFT::nextPowerOfTwo(static_cast<size_t>(std::ceil(points))));
}

std::vector<std::complex<double>> SParameterChannel::gridSpectrum(const std::vector<double>& frequencies,
                                                                  const std::vector<std::complex<double>>& h,
                                                                  double dt, size_t fftLength,
                                                                  ImpulseConversion& info)
{
    info = ImpulseConversion();
    const size_t count = frequencies.size();
    std::vector<double> f, mag, phase;
    for (size_t k = 0; k < count; ++k)
        if (std::abs(h[k]) > info.MaxMagnitude) {
            info.MaxMagnitude = std::abs(h[k]);
            info.MaxMagnitudeAt = frequencies[k];
        }
    if (frequencies[0] > 0.0) {
        // Unwrapped phase of the data, then the DC point from the two lowest.
        std::vector<double> ph(count);
        ph[0] = std::arg(h[0]);
        for (size_t k = 1; k < count; ++k)
            ph[k] = ph[k - 1] + wrapPhase(std::arg(h[k]) - std::arg(h[k - 1]));
        double m0 = std::abs(h[0]), p0 = std::round(ph[0] / kPi) * kPi;
        if (count >= 2) {
            const double r = frequencies[0] / (frequencies[1] - frequencies[0]);
            // Within what a passive network can do: a response that flattens
            // towards DC (a low-pass) would otherwise overshoot 1.
            m0 = std::min(1.0, std::max(0.0, std::abs(h[0]) - r * (std::abs(h[1]) - std::abs(h[0]))));
            p0 = std::round((ph[0] - r * (ph[1] - ph[0])) / kPi) * kPi;
        }
        info.DcAdded = true;
        info.DcValue = m0 * std::cos(p0);
        f.push_back(0.0);
        mag.push_back(m0);
        phase.push_back(p0);
        for (size_t k = 0; k < count; ++k) {
            f.push_back(frequencies[k]);
            mag.push_back(std::abs(h[k]));
            phase.push_back(ph[k]);
        }
    } else {
        // A 0 Hz value must be real.
        const double d = h[0].real();
        info.DcValue = d;
        f.push_back(0.0);
        mag.push_back(std::fabs(d));
        phase.push_back(d < 0.0 ? kPi : 0.0);
        for (size_t k = 1; k < count; ++k) {
            f.push_back(frequencies[k]);
            mag.push_back(std::abs(h[k]));
            phase.push_back(phase.back() +
                            wrapPhase(std::arg(h[k]) - (k == 1 ? phase.back() : std::arg(h[k - 1]))));
        }
    }
    const size_t half = fftLength / 2;
    const double df = 1.0 / (static_cast<double>(fftLength) * dt);
    const double nyquist = static_cast<double>(half) * df;
    const size_t last = f.size() - 1;
    const double fLast = f[last];
    double width = 0.0, slope = 0.0;
    if (fLast >= nyquist) {
        info.AboveNyquistDropped = fLast > nyquist;
        info.BandEdge = nyquist;
        info.RollOffEnd = nyquist;
    } else {
        info.BandEdge = fLast;
        width = std::min(0.25 * fLast, nyquist - fLast);
        info.RollOffEnd = fLast + width;
        if (last >= 1)
            slope = (phase[last] - phase[last - 1]) / (f[last] - f[last - 1]);
    }
    std::vector<std::complex<double>> x(half + 1);
    size_t j = 0;
    for (size_t k = 0; k <= half; ++k) {
        const double fk = static_cast<double>(k) * df;
        double m = 0.0, p = 0.0;
        if (fk <= fLast) {
            while (j + 1 < last && f[j + 1] < fk)
                ++j;
            const double t = last == 0 ? 0.0 : (fk - f[j]) / (f[j + 1] - f[j]);
            m = last == 0 ? mag[0] : mag[j] + t * (mag[j + 1] - mag[j]);
            p = last == 0 ? phase[0] : phase[j] + t * (phase[j + 1] - phase[j]);
        } else if (fk < fLast + width) {
            m = mag[last] * 0.5 * (1.0 + std::cos(kPi * (fk - fLast) / width));
            p = phase[last] + slope * (fk - fLast);
        }
        x[k] = std::polar(m, p);
    }
    // The bins at 0 Hz and at the Nyquist frequency stand for both signs of
    // frequency: real.
    x[0] = std::complex<double>(info.DcValue, 0.0);
    x[half] = std::complex<double>(x[half].real(), 0.0);
    return x;
}

std::vector<double> SParameterChannel::impulse(const std::vector<double>& frequencies,
                                               const std::vector<std::complex<double>>& h, double dt,
                                               size_t fftLength, ImpulseConversion& info)
{
    const std::vector<std::complex<double>> x = gridSpectrum(frequencies, h, dt, fftLength, info);
    const size_t half = fftLength / 2;
    std::vector<std::complex<double>> s(fftLength);
    for (size_t k = 0; k <= half; ++k) {
        s[k] = x[k];
        if (k > 0 && k < half)
            s[fftLength - k] = std::conj(x[k]);
    }
    HostFFT::Transform(s, +1);
    std::vector<double> full(fftLength);
    for (size_t i = 0; i < fftLength; ++i)
        full[i] = s[i].real() / (static_cast<double>(fftLength) * dt);
    // Energy ahead of the main response: the last quarter of the record
    // (time before 0, circularly) and what precedes the response's onset,
    // the first sample reaching 5% of its peak.
    double peak = 0.0, total = 0.0;
    for (size_t i = 0; i < half; ++i)
        peak = std::max(peak, std::fabs(full[i]));
    for (double v : full)
        total += v * v;
    double ahead = 0.0;
    for (size_t i = fftLength - fftLength / 4; i < fftLength; ++i)
        ahead += full[i] * full[i];
    for (size_t i = 0; i < half && std::fabs(full[i]) < 0.05 * peak; ++i)
        ahead += full[i] * full[i];
    info.EnergyAhead = total > 0.0 ? ahead / total : 0.0;
    full.resize(half);
    return full;
}

bool SParameterChannel::Build(const TouchstoneNetwork& net, const std::string& path, double dt,
                              std::vector<std::vector<double>>& columns, std::vector<std::string>& summary,
                              std::string& error) const
{
    std::vector<SParameterResponse> rs;
    if (!responses(net, rs, error)) {
        error = "Touchstone file '" + path + "': " + error;
        return false;
    }
    const std::vector<double>& fr = net.Frequencies;
    if (fr.size() < 2) {
        error = "Touchstone file '" + path + "' holds one frequency; an impulse needs at least two";
        return false;
    }
    const size_t n = fftLength(fr, dt);
    columns.clear();
    summary.clear();
    std::vector<ImpulseConversion> infos;
    for (const SParameterResponse& r : rs) {
        ImpulseConversion info;
        columns.push_back(impulse(fr, r.H, dt, n, info));
        infos.push_back(info);
    }
    bool sameReference = true;
    for (double z : net.Reference)
        sameReference = sameReference && z == net.Reference[0];
    std::string refText = sameReference ? NumberText::format(net.Reference[0]) + " ohm" : std::string();
    if (!sameReference)
        for (size_t i = 0; i < net.Reference.size(); ++i)
            refText += (i ? ", " : "ports ") + NumberText::format(net.Reference[i]);
    summary.push_back("Touchstone " + net.Version + ", " + std::to_string(net.Ports) + " ports, " +
                      std::to_string(fr.size()) + " frequencies from " + hz(fr.front()) + " to " +
                      hz(fr.back()) + " (" + net.FrequencyUnit + ", " + net.Format + "), reference " +
                      (sameReference ? refText : refText + " ohm"));
    for (size_t c = 0; c < rs.size(); ++c)
        summary.push_back((c == 0 ? std::string("through: ") : "crosstalk " + std::to_string(c) + ": ") +
                          rs[c].Name);
    if (net.Ports > 4) {
        std::string fext = FextPairs.empty() ? std::string("none") : listOf(FextPairs);
        std::string next = NextPairs.empty() ? std::string("none") : listOf(NextPairs);
        summary.push_back("pairs: " + std::to_string(net.Ports / 4) + " in the file; through pair " +
                          std::to_string(ThroughPair) + ", FEXT from " + fext + ", NEXT from " + next +
                          " (--through-pair, --fext, --next)");
    }
    const ImpulseConversion& t = infos[0];
    if (t.DcAdded)
        summary.push_back("0 Hz: no point in the file; added by linear extrapolation from " + hz(fr[0]) +
                          " and " + hz(fr[1]) + ": H(0) = " + NumberText::fixed(t.DcValue, 4) + " (through)");
    else
        summary.push_back("0 Hz: point in the file, H(0) = " + NumberText::fixed(t.DcValue, 4) +
                          " (through)");
    if (t.AboveNyquistDropped)
        summary.push_back("band edge: the data above the grid's Nyquist frequency " + hz(t.BandEdge) +
                          " is not used");
    else
        summary.push_back("band edge: data ends at " + hz(t.BandEdge) + "; raised-cosine roll-off to 0 at " +
                          hz(t.RollOffEnd) + " (grid Nyquist " + hz(0.5 / dt) + ")");
    std::string causality =
        "causality: energy ahead of the main response " + percent(t.EnergyAhead) + " (through)";
    for (size_t c = 1; c < infos.size(); ++c)
        causality += ", " + percent(infos[c].EnergyAhead) + " (crosstalk " + std::to_string(c) + ")";
    summary.push_back(causality);
    // Passivity, element by element: no |S| of a passive network exceeds 1.
    double largest = 0.0, at = 0.0;
    int li = 0, lj = 0;
    size_t over = 0;
    for (size_t k = 0; k < fr.size(); ++k) {
        bool any = false;
        for (int i = 0; i < net.Ports; ++i)
            for (int j = 0; j < net.Ports; ++j) {
                const double m = std::abs(net.at(k, i, j));
                any = any || m > 1.0;
                if (m > largest) {
                    largest = m;
                    at = fr[k];
                    li = i + 1;
                    lj = j + 1;
                }
            }
        over += any ? 1 : 0;
    }
    const std::string element =
        "|S" + std::to_string(li) + (net.Ports > 9 ? "," : "") + std::to_string(lj) + "|";
    if (over == 0)
        summary.push_back("passivity: no |S| > 1 (largest " + element + " = " +
                          NumberText::fixed(largest, 4) + " at " + hz(at) + ")");
    else
        summary.push_back("passivity: |S| > 1 at " + std::to_string(over) + " of " +
                          std::to_string(fr.size()) + " frequencies, largest " + element + " = " +
                          NumberText::fixed(largest, 4) + " at " + hz(at) + " (not passive)");
    summary.push_back("impulse: " + std::to_string(n / 2) + " samples of a " + std::to_string(n) +
                      "-point inverse FFT (frequency step " + hz(1.0 / (static_cast<double>(n) * dt)) + ")");
    return true;
}

}  // namespace amihost
