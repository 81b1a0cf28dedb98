// Channel impulse columns from an S-parameter network (a Touchstone file).
//
// Which responses:
//  * 2 ports: S21, the through response from port 1 to port 2.
//  * 4, 8, 12, 16 ... ports: differential pairs. The file's lines (single
//    conductors) are numbered by PortMap:
//      "13_24" (the default): inputs are ports 1..N/2, outputs N/2+1..N, so
//              line k runs from port k to port k+N/2 (4 ports: 1->3, 2->4);
//      "12_34": line k runs from port 2k-1 to port 2k (4 ports: 1->2, 3->4).
//    Pair m is lines 2m-1 (+) and 2m (-). The through column is the
//    differential through response SDD21 of ThroughPair. Each pair in
//    FextPairs adds a crosstalk column: its far-end crosstalk, the aggressor
//    pair driven at its inputs and seen at the through pair's outputs; each
//    pair in NextPairs the near-end crosstalk of an aggressor driven from the
//    far end, seen at the same outputs (where the receiver is). With
//        SDD(o, d) = (S[o+][d+] - S[o+][d-] - S[o-][d+] + S[o-][d-]) / 2.
//
// From samples at measured frequencies to an impulse in V/s:
//  1. 0 Hz. A file that starts above 0 Hz gets a DC point: its magnitude is
//     extrapolated linearly from the two lowest frequencies (clipped to
//     [0, 1], what a passive network can have),
//     its phase is the multiple of pi nearest to the unwrapped phase
//     extrapolated linearly the same way, so the value is real, as a real
//     impulse's spectrum must be at 0 Hz. A 0 Hz point in the file is used as
//     given, less any imaginary part.
//  2. Interpolation onto the simulation grid f_k = k / (N dt): magnitude and
//     unwrapped phase, each linearly between neighbouring points (linear
//     interpolation of the complex values would shrink the magnitude where
//     the phase turns quickly).
//  3. Above the last measured frequency the magnitude and the phase slope
//     (the group delay) are held and a raised-cosine roll-off takes the
//     response to zero over a quarter of the measured band (or up to the
//     grid's Nyquist frequency, if that comes first). Data above the Nyquist
//     frequency is not used.
//  4. Inverse FFT of N points, N the power of two that covers 1 / (median
//     frequency step) (what the data resolves), scaled by 1/dt: V/s. The
//     first N/2 samples are kept; the last quarter of the record is time
//     before 0 (circularly), and counts as energy ahead of the response.
//
// The summary states each of these steps for the file at hand.
#ifndef VM_TOOLS_AMI_HOST_SPARAMETERCHANNEL_H
#define VM_TOOLS_AMI_HOST_SPARAMETERCHANNEL_H

#include <complex>
#include <string>
#include <vector>

#include "tools/ami-host/TouchstoneFile.h"

namespace amihost {

// One response of the network at the file's frequencies.
struct SParameterResponse {
    std::string Name;  // e.g. "SDD21 pair 1", "FEXT pair 2 -> pair 1"
    std::vector<std::complex<double>> H;
};

// What the conversion of one response did.
struct ImpulseConversion {
    bool DcAdded = false;     // the file had no 0 Hz point
    double DcValue = 0.0;     // H(0) used
    double BandEdge = 0.0;    // Hz, last measured frequency used
    double RollOffEnd = 0.0;  // Hz, where the roll-off reaches 0 (= BandEdge if none)
    bool AboveNyquistDropped = false;
    double EnergyAhead = 0.0;     // fraction of the impulse energy ahead of the main response
    double MaxMagnitude = 0.0;    // largest |H| of the measured points
    double MaxMagnitudeAt = 0.0;  // Hz
};

class SParameterChannel {
public:
    std::string PortMap = "13_24";  // or "12_34"
    int ThroughPair = 1;
    std::vector<int> FextPairs;
    std::vector<int> NextPairs;

    // Checks the options against the network and picks the responses,
    // through first. False with a one-line reason.
    bool responses(const TouchstoneNetwork& net, std::vector<SParameterResponse>& out,
                   std::string& error) const;
    // The port numbers (1-based) of line `line` (1-based) under PortMap.
    void linePorts(int ports, int line, int& in, int& out) const;

    // FFT length for the data's frequency step at sample interval dt.
    static size_t fftLength(const std::vector<double>& frequencies, double dt);
    // The impulse (V/s, fftLength / 2 samples) of one response.
    static std::vector<double> impulse(const std::vector<double>& frequencies,
                                       const std::vector<std::complex<double>>& h, double dt,
                                       size_t fftLength, ImpulseConversion& info);
    // The grid spectrum of step 1 to 3 at k / (N dt), k = 0 .. N/2.
    static std::vector<std::complex<double>> gridSpectrum(const std::vector<double>& frequencies,
                                                          const std::vector<std::complex<double>>& h,
                                                          double dt, size_t fftLength,
                                                          ImpulseConversion& info);

    // The columns (V/s, through first) and the summary lines for reports.
    bool Build(const TouchstoneNetwork& net, const std::string& path, double dt,
               std::vector<std::vector<double>>& columns, std::vector<std::string>& summary,
               std::string& error) const;
};

}  // namespace amihost

#endif
