#ifndef VM_PZ_PZIMPULSE_H
#define VM_PZ_PZIMPULSE_H

#include <complex>
#include <fstream>
#include <sstream>
#include <vector>

#include "pz/SPolesZeros.h"

namespace Veltramodels20200612 {

class SetupChecks;

// Checks one pole/zero set (roots in rad/s, left half-plane) and produces its
// impulse response at the sample rate SamplesPerBit * BitRate: samples in
// gain per sample, so that their sum is the set's gain at 0 Hz.
//
// Both routes realise the same digital filter, the bilinear transform of
// GainDC * H(s) with every root pre-warped once:
//  - real roots only (and InvertHs = 0): the streaming IIR filter
//    SPolesZeros, run on a unit sample;
//  - complex roots, or InvertHs = 1: the frequency response of that filter
//    built on a frequency grid, turned into an impulse by an inverse FFT.
// WarpFreq = 1 says that the roots handed in have already been pre-warped for
// the bilinear transform at this sample rate (the pole/zero section does
// that); they are then not warped a second time. WarpFreq = 0 says that they
// are the analog roots, which are pre-warped here.
class PZImpulse {
public:
    PZImpulse();

    bool Setup(std::ofstream* useFile, std::stringstream& msg);
    bool Initialize(std::stringstream& msg);

    // Turns the spectrum of a causal response, bins 0..N/2 of an N-point
    // FFT at the sample rate (N a power of two >= 4; the other bins are
    // rebuilt as conjugates), into its impulse: the inverse FFT with 1/N
    // scaling, so that the samples sum to the bin at 0 Hz. Only the first N/2
    // samples are kept: the second half holds the wrapped negative times,
    // and the grid length is chosen so that the response has decayed there.
    // Returns false for an unusable N.
    bool forceCausality(std::vector<std::complex<double>>& spectrum, std::vector<double>& impulse);

    // Shortens a converted impulse. tolerance = 0 drops the trailing samples
    // that are exactly 0. tolerance > 0 also drops the longest tail whose
    // absolute sum is at most tolerance * |sum of the impulse|, so that no
    // output can change by more than that fraction of the gain at 0 Hz, and
    // adds the dropped tail's sum to the last kept sample, so that the sum
    // (the gain at 0 Hz) stays exact. At least one sample is kept.
    void shortenConverted_h_Out(std::vector<double>& impulse, double tolerance);

    // Pre-warping of a root for the bilinear transform at sample rate fs:
    // x -> 2 fs tan(|x| / (2 fs)) x / |x|. A root at or beyond the Nyquist
    // frequency (|x| >= pi fs) has no pre-warped image; it is mapped to a
    // root far above the band (the angle is held just below pi/2) instead of
    // wrapping into the right half-plane. unwarpRoot is the inverse.
    static double warpRoot(double x, double fs);
    static std::complex<double> warpRoot(std::complex<double> x, double fs);
    static double unwarpRoot(double x, double fs);
    static std::complex<double> unwarpRoot(std::complex<double> x, double fs);

    std::vector<double>* TimeArray;     // receives the time axis, seconds
    std::vector<double>* ImpulseArray;  // receives the impulse response
    double BitRate;
    int SamplesPerBit;
    double GainDC;
    int WarpFreq;
    int AutoSetWarpFreq;  // checked; the pole/zero section always states WarpFreq itself
    int InvertHs;
    std::vector<double>* Poles;                 // real, each < 0
    std::vector<double>* Zeros;                 // real, each < 0
    std::vector<std::complex<double>>* CPoles;  // one entry per conjugate pair
    std::vector<std::complex<double>>* CZeros;
    double AdditionalTimeDelay;  // seconds, >= 0
    int RootType;                // 1 real roots only, 2 complex roots present
    std::ofstream* UseFile;

    // Working state set by Setup.
    int NumPoles;  // real poles + 2 x complex poles
    int NumZeros;
    double FMin;  // smallest root modulus / 2 pi, Hz
    double SampleRate;
    long long NumPoints;  // K: impulse length of the IIR route, spectrum grid size
    int UseSpectrumRoute;
    double BandLow;  // band of interest, Hz
    double BandHigh;
    double InverseLimit_dB;  // 50: boost of the inverse at high frequency over its gain at 0 Hz
    double InverseRollOff;   // rad/s: corner of the roll-off that keeps the inverse proper
    double DelaySamples;     // AdditionalTimeDelay * SampleRate
    long long DelayLineLength;

    // The IIR route's filter.
    SPolesZeros Filter;

private:
    void checkSettings(SetupChecks& check, std::stringstream& msg);
    void checkRoots(SetupChecks& check, double* maxModulus);
    bool deriveGrid(double maxModulus, std::stringstream& msg);
    bool initializeIIR(std::stringstream& msg, std::vector<double>& h);
    bool initializeSpectrum(std::stringstream& msg, std::vector<double>& h);
    std::complex<double> evaluate(std::complex<double> s, const std::vector<double>& p,
                                  const std::vector<double>& z, const std::vector<std::complex<double>>& cp,
                                  const std::vector<std::complex<double>>& cz) const;
    void applyDelay(std::vector<double>& h) const;
};

}  // namespace Veltramodels20200612

#endif
