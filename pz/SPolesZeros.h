#ifndef VM_PZ_SPOLESZEROS_H
#define VM_PZ_SPOLESZEROS_H

#include <fstream>
#include <sstream>
#include <vector>

namespace Veltramodels20200612 {

// Streaming IIR filter built from real s-plane poles and zeros by the
// bilinear transform: one first-order section per pole (paired with a zero
// where there is one) and a trapezoidal integrator per pole at 0 Hz.
// Poles and zeros are given as non-negative frequencies; pole p stands for
// the root -p, and every section has unity gain at 0 Hz, so the filter's gain
// at 0 Hz is `Gain`.
class SPolesZeros {
public:
    SPolesZeros();

    bool Setup(std::ofstream* useFile, std::stringstream& msg);
    void Initialize();
    void Run(std::stringstream& msg);
    void Finalize();
    void DeleteBuffers();

    double Input;
    double Output;
    double SampleRate;
    double Gain;
    std::vector<double>* RealPoles;  // caller's; cancelled pairs are set to -1
    std::vector<double>* RealZeros;  // caller's; cancelled pairs are set to -1
    int FreqUnit;                    // 1 = Hz, 0 = rad/s
    int EnablePreWarping;            // 1 = pre-warp every root for the bilinear transform
    std::ofstream* UseFile;

    // Working state.
    std::vector<double> KeptPoles;  // poles in (0, Nyquist), as given
    std::vector<double> KeptZeros;  // zeros in [0, Nyquist), as given
    int NumKeptPoles;               // P
    int NumKeptZeros;               // Z
    int NumIntegrators;             // I: poles exactly at 0
    int NumZerosAtZero;
    std::vector<double> A1, B0, B1, W;     // per section
    std::vector<double> IntegratorOutput;  // per integrator: last output
    std::vector<double> IntegratorInput;   // per integrator: last scaled input
    int NumIntegratorSections;             // integrators merged with an unpaired zero
    double DCFactor;
    long long SampleCount;
};

// Bilinear transform, s = (2/T)(1 - 1/z)/(1 + 1/z), of the section p/(s + p):
// H(z) = (b0 + b1/z)/(1 + a1/z), unity gain at 0 Hz.
void convertSPoleToZDomain(double p, double T, double* a1, double* b0, double* b1);

// Bilinear transform of (p/z)(s + z)/(s + p) (unity gain at 0 Hz) for z > 0,
// or of s/(s + p) for z = 0.
void convertSPoleZeroToZDomain(double p, double z, double T, double* a1, double* b0, double* b1);

}  // namespace Veltramodels20200612

#endif
