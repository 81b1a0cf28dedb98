#include "pz/SPolesZeros.h"

#include <cmath>

namespace Veltramodels20200612 {

namespace {

const double kTwoPi = 6.283185307179586;
const double kPi = 3.141592653589793;
const double kSmallestNormal = 2.2250738585072014e-308;

// A state whose contribution would be denormal is taken as 0: denormal
// arithmetic is very slow on common processors, and a decayed IIR state
// would otherwise stay in that range for a long time.
bool stateIsNegligible(double w, double a1, double b1)
{
    double aw = std::fabs(w);
    if (aw <= kSmallestNormal)
        return true;
    double a = std::fabs(a1);
    if (a > kSmallestNormal && a < 1.0 && aw < kSmallestNormal / a)
        return true;
    double b = std::fabs(b1);
    if (b > kSmallestNormal && b < 1.0 && aw < kSmallestNormal / b)
        return true;
    return false;
}

}  // namespace

void convertSPoleToZDomain(double p, double T, double* a1, double* b0, double* b1)
{
    double c = 2.0 / (p * T) + 1.0;
    *b0 = 1.0 / c;
    *b1 = *b0;
    *a1 = (1.0 - 2.0 / (p * T)) * (*b0);
}

void convertSPoleZeroToZDomain(double p, double z, double T, double* a1, double* b0, double* b1)
{
    double d = p * T / 2.0 + 1.0;
    *a1 = (p * T / 2.0 - 1.0) / d;
    if (z > 0.0) {
        *b0 = (z * T / 2.0 + 1.0) * (p / z) / d;
        *b1 = (p / z) * (z * T / 2.0 - 1.0) / d;
    } else {
        *b0 = 1.0 / d;
        *b1 = -1.0 / d;
    }
}

SPolesZeros::SPolesZeros()
    : Input(0.0),
      Output(0.0),
      SampleRate(6.25e9),
      Gain(1.0),
      RealPoles(nullptr),
      RealZeros(nullptr),
      FreqUnit(1),
      EnablePreWarping(1),
      UseFile(nullptr),
      NumKeptPoles(0),
      NumKeptZeros(0),
      NumIntegrators(0),
      NumZerosAtZero(0),
      NumIntegratorSections(0),
      DCFactor(1.0),
      SampleCount(0)
{
}

bool SPolesZeros::Setup(std::ofstream* useFile, std::stringstream& msg)
{
    if (UseFile == nullptr && useFile != nullptr && useFile->is_open()) {
        *useFile << "Veltramodels20200612"
                 << "::"
                 << "SPolesZeros"
                 << "\n";
        useFile->flush();
        UseFile = useFile;
    }
    bool ok = true;
    if (!(SampleRate > 0.0)) {
        msg << "SampleRate must be > 0.\n";
        ok = false;
    }

    std::vector<double> noPoles, noZeros;
    std::vector<double>& poles = RealPoles != nullptr ? *RealPoles : noPoles;
    std::vector<double>& zeros = RealZeros != nullptr ? *RealZeros : noZeros;

    // The band edge is half the sample rate, in the unit of the values: in
    // rad/s that is pi times the sample rate.
    const double nyquist = (FreqUnit == 0) ? kPi * SampleRate : 0.5 * SampleRate;
    bool outOfRange = false;
    for (double p : poles)
        if (!(p >= 0.0 && p < nyquist))
            outOfRange = true;
    for (double z : zeros)
        if (!(z >= 0.0 && z < nyquist))
            outOfRange = true;

    // A pole and a zero of exactly the same value cancel; both are marked -1
    // in the caller's vectors.
    if (!poles.empty()) {
        for (double& p : poles) {
            if (!(p >= 0.0))
                continue;
            for (double& z : zeros) {
                if (z == p) {
                    p = -1.0;
                    z = -1.0;
                    break;
                }
            }
        }
    }

    NumIntegrators = 0;
    for (double p : poles)
        if (p == 0.0)
            ++NumIntegrators;
    IntegratorOutput.assign(static_cast<size_t>(NumIntegrators), 0.0);
    IntegratorInput.assign(static_cast<size_t>(NumIntegrators), 0.0);
    NumZerosAtZero = 0;
    for (double z : zeros)
        if (z == 0.0)
            ++NumZerosAtZero;

    KeptPoles.clear();
    KeptZeros.clear();
    for (double p : poles)
        if (p > 0.0 && p < nyquist)
            KeptPoles.push_back(p);
    for (double z : zeros)
        if (z >= 0.0 && z < nyquist)
            KeptZeros.push_back(z);
    NumKeptPoles = static_cast<int>(KeptPoles.size());
    NumKeptZeros = static_cast<int>(KeptZeros.size());

    if (NumKeptPoles + NumIntegrators < NumKeptZeros) {
        msg << "Number of RealPoles < SampleRate/2 must be >= Number of RealZeros < SampleRate/2.\n";
        ok = false;
    }
    if (outOfRange)
        msg << "Poles and Zeros that are less than 0 Hz or greater the SampleRate/2 Hz are ignored.\n";

    if (NumIntegrators == 0 && NumZerosAtZero == 0) {
        if (Gain == 0.0) {
            msg << "Gain at 0 Hz must be non 0.\n";
            ok = false;
        }
    } else {
        msg << "Since there is one or more pole or zero at 0 Hz, the Gain is uncalibrated.\n";
        Gain = 1.0;
    }
    if (static_cast<unsigned>(FreqUnit) > 1u) {
        msg << "FreqUnit must be an integer in the range [0, 1].\n";
        ok = false;
    }
    if (static_cast<unsigned>(EnablePreWarping) >= 2u) {
        msg << "EnablePreWarping must be an integer in the range [0, 1].\n";
        return false;
    }
    return ok;
}

void SPolesZeros::Initialize()
{
    const double T = 1.0 / SampleRate;
    // Work on copies: Initialize may be repeated without scaling twice.
    std::vector<double> p = KeptPoles;
    std::vector<double> z = KeptZeros;
    for (std::vector<double>* v : {&p, &z}) {
        for (double& x : *v) {
            if (FreqUnit == 1)
                x *= kTwoPi;
            if (EnablePreWarping == 1)
                x = (2.0 / T) * std::tan(x * T / 2.0);
        }
    }

    const int P = NumKeptPoles;
    const int Z = NumKeptZeros;
    // Zeros beyond the poles in range exist only when integrators make up
    // the difference (checked in Setup). Each such zero z is merged with one
    // integrator into the section (1 + s/z)/s, whose bilinear transform is
    // (T/2 + 1/z) + (T/2 - 1/z)/z^1 over 1 - 1/z^1. Its low-frequency part is
    // the plain integrator; the zero adds the flat gain 1/z above it.
    NumIntegratorSections = Z > P ? Z - P : 0;
    const int sections = P + NumIntegratorSections;
    A1.assign(static_cast<size_t>(sections), 0.0);
    B0.assign(static_cast<size_t>(sections), 0.0);
    B1.assign(static_cast<size_t>(sections), 0.0);
    W.assign(static_cast<size_t>(sections), 0.0);
    DCFactor = 1.0;
    for (int i = 0; i < P; ++i) {
        if (i < Z) {
            convertSPoleZeroToZDomain(p[i], z[i], T, &A1[i], &B0[i], &B1[i]);
            if (z[i] > 0.0)
                DCFactor *= p[i] / z[i];
        } else {
            convertSPoleToZDomain(p[i], T, &A1[i], &B0[i], &B1[i]);
            DCFactor *= p[i];
        }
    }
    for (int k = 0; k < NumIntegratorSections; ++k) {
        int i = P + k;
        double zi = z[static_cast<size_t>(i)];
        A1[i] = -1.0;
        B0[i] = T / 2.0 + 1.0 / zi;
        B1[i] = T / 2.0 - 1.0 / zi;
    }
    IntegratorOutput.assign(static_cast<size_t>(NumIntegrators), 0.0);
    IntegratorInput.assign(static_cast<size_t>(NumIntegrators), 0.0);
    Output = 0.0;
    SampleCount = 0;
}

void SPolesZeros::Run(std::stringstream& /*msg*/)
{
    double x = Input;
    const size_t sections = W.size();
    for (size_t i = 0; i < sections; ++i) {
        double wPrev = W[i];
        double u, v;
        if (stateIsNegligible(wPrev, A1[i], B1[i])) {
            u = x;
            v = 0.0;
        } else {
            u = x - A1[i] * wPrev;
            v = B1[i] * wPrev;
        }
        W[i] = u;
        x = B0[i] * u + v;
    }
    const int plainIntegrators = NumIntegrators - NumIntegratorSections;
    for (int i = 0; i < plainIntegrators; ++i) {
        double c = x / SampleRate;
        x = IntegratorOutput[i] + c + (IntegratorInput[i] - c) / 2.0;
        IntegratorOutput[i] = x;
        IntegratorInput[i] = c;
    }
    Output = x * Gain;
    ++SampleCount;
}

void SPolesZeros::Finalize() {}

void SPolesZeros::DeleteBuffers() {}

}  // namespace Veltramodels20200612
