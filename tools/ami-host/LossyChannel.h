// The host's embedded test channel: a lossy stripline whose impulse response
// is synthesised from a causal transmission-line model.
//
// Propagation constant per metre, gamma(f) = gamma_c(f) + gamma_d(f):
//
//  * Conductor (skin-effect) loss. The series resistance of a conductor in
//    the skin-effect regime is R(f) = R_ref (1 + j) sqrt(f / f_ref): the
//    imaginary part is the internal inductance, equal in size to the
//    resistance, which is what makes the term causal (exp(-k sqrt(s)) is the
//    Laplace transform of a causal, positive diffusion pulse). With
//    alpha_c = R / (2 Z0) this gives
//        gamma_c(f) = sqrt(2) alpha_c,ref sqrt(j f / f_ref),
//    whose real part is alpha_c,ref sqrt(f / f_ref) nepers per metre.
//    The DC resistance is neglected (H(0) = 1).
//
//  * Dielectric loss. The laminate's permittivity follows the wideband Debye
//    (Djordjevic-Sarkar) model
//        eps(f) = eps_inf + d_eps / (m2 - m1) * log10((f2 + j f) / (f1 + j f)),
//    f1 = 10^m1 = 1 kHz, f2 = 10^m2 = 1 THz, which has a nearly constant loss
//    tangent in between and whose real and imaginary parts obey the
//    Kramers-Kronig relations. eps_inf and d_eps are fitted so that
//    eps(f_ref) has real part EpsilonR and loss tangent LossTangent. Then
//        gamma_d(f) = j (2 pi f / c0) sqrt(eps(f)).
//
// The transfer function of a line of length L is H(f) = exp(-gamma(f) L).
// The wavefront delay L sqrt(eps_inf) / c0 (the fastest any frequency can
// travel) is taken out, so the response stays causal and starts near t = 0;
// what remains of the delay is the dispersion the two losses cause. H is
// sampled on a grid 16 times longer than the kept record, so that little of
// the slow skin-effect tail (it decays like t^-1.5) wraps around into the
// record (about 1e-6 of the peak per sample), inverted with an FFT and
// scaled by 1/sample interval: the result is in V/s as hosts pass impulses,
// and its sum times the sample interval is the gain at 0 Hz (1 here, less the
// part of the tail beyond the record).
//
// The defaults, 0.3 m (about 12 inches) of 5 mil FR4 stripline at 12.8 Gb/s
// (the rate of the driver's emphasis tap), lose about 11 dB at the Nyquist
// frequency (6.4 GHz): enough to close the eye of the unemphasised driver,
// while a medium pre-emphasis state opens it. (0.5 m of FR4 loses 18 dB,
// more than the driver's strongest state can make up for.)
#ifndef VM_TOOLS_AMI_HOST_LOSSYCHANNEL_H
#define VM_TOOLS_AMI_HOST_LOSSYCHANNEL_H

#include <complex>
#include <string>
#include <vector>

namespace amihost {

class LossyChannel {
public:
    double LengthMetres = 0.3;
    double EpsilonR = 4.2;                 // real relative permittivity at ReferenceFrequency
    double LossTangent = 0.02;             // at ReferenceFrequency
    double ConductorLossDbPerInch = 0.12;  // at ReferenceFrequency, grows with sqrt(f)
    double ReferenceFrequency = 1e9;       // Hz
    double BitRate = 12.8e9;               // bit/s
    int SamplesPerBit = 32;
    int RecordBits = 256;  // length of the impulse, in bits

    // Checks the fields; false with a one-line reason.
    bool check(std::string& error) const;
    // H(f) with the wavefront delay removed (see above). Call after check().
    std::complex<double> transfer(double frequency) const;
    // Insertion loss in dB (positive) at a frequency.
    double lossDb(double frequency) const;
    // The impulse in V/s, RecordBits * SamplesPerBit samples, and its sample
    // interval in seconds.
    bool Build(std::vector<double>& impulse, double& sampleInterval, std::string& error) const;
    // One line stating the channel for reports.
    std::string describe() const;

private:
    std::complex<double> permittivity(double frequency) const;
    double epsInfinity() const;
    double deltaEps() const;
};

}  // namespace amihost

#endif
