#include "framework/Base_SerDesTxVPeak.h"

#include <algorithm>
#include <cmath>

namespace Veltramodels20200612 {

namespace {
const double kTwoPi = 6.283185307179586;
const double kLn2 = 0.6931471805599453;
// Edge pole over peaking pole.
const double kEdgeRatio = 10.0;
}  // namespace

Base_SerDesTxVPeak::Base_SerDesTxVPeak()
    : SymbolRate(1e10),
      SamplesPerSymbol(32),
      vWidth(0.3),
      vWidthMode(0),
      vPeak(0.0),
      Z(0.0),
      P1(0.0),
      P2(0.0),
      Input(0.0),
      Output(0.0),
      UseFile(nullptr)
{
}

bool Base_SerDesTxVPeak::Setup(std::ofstream* useFile, std::stringstream& msg)
{
    if (UseFile == nullptr && useFile != nullptr && useFile->is_open()) {
        *useFile << "Veltramodels20200612"
                 << "::"
                 << "Base_SerDesTxVPeak"
                 << "\n";
        useFile->flush();
        UseFile = useFile;
    }
    Container.DeleteBuffers();
    Z = P1 = P2 = 0.0;

    bool ok = true;
    if (!(SymbolRate > 0.0) || !std::isfinite(SymbolRate)) {
        msg << "SymbolRate must be > 0.\n";
        ok = false;
    }
    if (SamplesPerSymbol < 1) {
        msg << "SamplesPerSymbol must be > 0.\n";
        ok = false;
    }
    if (static_cast<unsigned int>(vWidthMode) > 1u) {
        msg << "vWidthMode must be an integer in the range [0, 1].\n";
        ok = false;
    }
    if (!(vPeak >= 0.0 && vPeak <= 0.65)) {
        msg << "vPeak must be a value in the range [0, 0.65].\n";
        ok = false;
    }
    if (!(vWidth > 0.0 && vWidth <= 1.0)) {
        msg << "vWidth must be a value in the range (0, 1].\n";
        ok = false;
    } else if (SamplesPerSymbol >= 1 && vWidth * SamplesPerSymbol < 1.0) {
        msg << "vWidth must span at least one sample (vWidth x SamplesPerSymbol >= 1).\n";
        ok = false;
    }
    if (!ok)
        return false;

    const double ui = 1.0 / SymbolRate;
    const double sampleRate = SamplesPerSymbol * SymbolRate;
    const double tau = vWidthMode == 0 ? vWidth * ui : vWidth * ui / kLn2;
    const double p1 = 1.0 / (kTwoPi * tau);
    // With vPeak = 0 the division is by exactly 1, so the zero cancels P1.
    const double z = p1 / (1.0 + vPeak);
    const double p2 = std::min(kEdgeRatio * p1, 0.25 * sampleRate);

    Container.PoleVector = {p1, p2};
    Container.ZeroVector = {z};
    SPolesZeros& f = Container.Filter;
    f.SampleRate = sampleRate;
    f.Gain = 1.0;
    f.FreqUnit = 1;
    f.EnablePreWarping = 1;
    if (!f.Setup(UseFile, msg)) {
        Container.DeleteBuffers();
        return false;
    }
    Z = z;
    P1 = p1;
    P2 = p2;
    return true;
}

void Base_SerDesTxVPeak::Initialize()
{
    Container.Filter.Initialize();
    Output = 0.0;
}

void Base_SerDesTxVPeak::Run(std::stringstream& msg)
{
    Container.Filter.Input = Input;
    Container.Filter.Run(msg);
    Output = Container.Filter.Output;
}

void Base_SerDesTxVPeak::Finalize()
{
    Container.Filter.Finalize();
    DeleteBuffers();
}

void Base_SerDesTxVPeak::DeleteBuffers()
{
    Container.DeleteBuffers();
    Z = P1 = P2 = 0.0;
}

}  // namespace Veltramodels20200612
