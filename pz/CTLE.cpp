#include "pz/CTLE.h"

#include <cmath>

namespace Veltramodels20200612 {

const double CTLE_PZ_List[52][4] = {
    {0.1, 5.235, 8.01, 8.01},       {0.5, 3.1325, 5.0, 5.9},         {1.02, 2.4, 4.33, 4.92},
    {1.99, 1.75, 3.38, 4.76},       {3.0, 1.39, 3.03, 4.54},         {4.02, 1.16, 2.94, 4.26},
    {5.0, 0.99, 2.81, 4.2},         {6.02, 0.855, 2.8, 4.03},        {7.0, 0.7425, 2.715, 4.01},
    {8.0, 0.6475, 2.66, 4.0},       {9.0, 0.57, 2.6125, 3.99},       {10.0, 0.5, 2.5775, 3.985},
    {11.0, 0.4425, 2.5575, 3.9725}, {12.0, 0.3925, 2.5375, 3.97},    {13.0, 0.3475, 2.5225, 3.965},
    {14.0, 0.308, 2.512, 3.96},     {15.0, 0.2745, 2.512, 3.96},     {16.0, 0.2435, 2.4945, 3.96},
    {17.0, 0.2165, 2.4865, 3.96},   {18.0, 0.1925, 2.4845, 3.96},    {19.0, 0.171, 2.477, 3.96},
    {20.0, 0.1525, 2.474, 3.96},    {21.0, 0.136, 2.472, 3.96},      {22.0, 0.121, 2.4695, 3.96},
    {23.0, 0.10775, 2.468, 3.96},   {24.0, 0.096, 2.46675, 3.96},    {25.0, 0.0855, 2.466, 3.96},
    {26.0, 0.07625, 2.465, 3.96},   {27.0, 0.068, 2.46425, 3.96},    {28.0, 0.0605, 2.46375, 3.96},
    {29.0, 0.054, 2.4635, 3.96},    {30.0, 0.0481, 2.463, 3.96},     {31.0, 0.0428, 2.4628, 3.96},
    {32.0, 0.0382, 2.4626, 3.96},   {33.0, 0.0341, 2.4625, 3.96},    {34.0, 0.0303, 2.4623, 3.96},
    {35.0, 0.027, 2.4622, 3.96},    {36.0, 0.0241, 2.4622, 3.96},    {37.0, 0.02145, 2.4621, 3.96},
    {38.0, 0.01915, 2.46205, 3.96}, {39.0, 0.01705, 2.462, 3.96},    {40.0, 0.0152, 2.462, 3.96},
    {41.0, 0.01355, 2.46195, 3.96}, {42.0, 0.012075, 2.46195, 3.96}, {43.0, 0.01075, 2.4619, 3.96},
    {44.0, 0.00958, 2.4619, 3.96},  {45.0, 0.00854, 2.4619, 3.96},   {46.0, 0.00761, 2.46189, 3.96},
    {47.0, 0.00679, 2.46188, 3.96}, {48.0, 0.00605, 2.46187, 3.96},  {49.0, 0.00539, 2.46186, 3.96},
    {50.0, 0.0048, 2.46186, 3.96},
};

namespace {
const int kRows = 52;
const double kTableFPeak = 3.125e9;
}  // namespace

CTLE::CTLE()
    : Input(0.0),
      Output(0.0),
      BitRate(6.25e9),
      SamplesPerBit(32),
      DataType(1),
      PoleList(nullptr),
      ZeroList(nullptr),
      FPeak(3.125e9),
      dB_Peak(10.0),
      Z(0.0),
      P1(0.0),
      P2(0.0),
      UseFile(nullptr),
      OutputDivisor(1.0)
{
}

bool CTLE::Setup(std::ofstream* useFile, std::stringstream& msg)
{
    if (UseFile == nullptr && useFile != nullptr && useFile->is_open()) {
        *useFile << "Veltramodels20200612::CTLE\n";
        useFile->flush();
        UseFile = useFile;
    }
    bool ok = true;
    if (!(BitRate > 0.0)) {
        msg << "BitRate must be > 0.\n";
        ok = false;
    }
    if (DataType == 0 && SamplesPerBit <= 0) {
        msg << "SamplesPerBit must be > 0.\n";
        ok = false;
    } else if (DataType == 1 && SamplesPerBit < 8) {
        msg << "SamplesPerBit must be >= 8.\n";
        ok = false;
    }
    if (DataType < 0 || DataType > 1) {
        msg << "DataType must be an integer in the range [0, 1].\n";
        ok = false;
    }

    if (DataType == 1) {
        const double lower = 0.75 * BitRate * 0.5;
        const double upper = 1.5 * BitRate * 0.5;
        if (FPeak < lower || FPeak > upper) {
            msg << "FPeak is outside the range [ " << lower << ",  " << upper << " ].\n";
            msg << "The resultant CTLE response peak frequency might have some offset from the "
                   "specified FPeak and dB_Peak.\n";
        }
        // Written so that a NaN fails as well.
        if (!(dB_Peak >= 0.099 && dB_Peak <= 50.01)) {
            msg << "dB_Peak must be in the range [ " << 0.1 << ",  " << 50 << " ].\n";
            return false;
        }
        if (!ok)
            return false;

        if (!designFromTable(msg))
            return false;

        const double s = FPeak / kTableFPeak;
        Z *= s;
        P1 *= s;
        P2 *= s;

        // The designed values are in GHz and are compared with BitRate/2 as
        // they stand, so in practice this rejects only values that are not
        // positive (FPeak <= 0 or not a number). Comparing Hz with BitRate/2
        // would refuse ordinary designs: P2 lies about 1.27 x FPeak, and
        // low-peaking rows put both poles far above half the bit rate. Roots
        // that the sample rate cannot represent are reported by the pole/zero
        // section's own range warning.
        const double bound = BitRate / 2.0;
        bool zOk = Z > 0.0 && Z < bound;
        bool p1Ok = P1 > 0.0 && P1 < bound;
        bool p2Ok = P2 > 0.0 && P2 < bound;
        if (!zOk)
            msg << "Z1 is outside the valid range ( 0, " << bound << " ).\n";
        if (!p1Ok)
            msg << "P1 is outside the valid range ( 0, " << bound << " ).\n";
        if (!p2Ok) {
            msg << "P2 is outside the valid range ( 0, " << bound << " ).\n";
            return false;
        }
        if (!zOk || !p1Ok)
            return false;

        ZeroVector.assign(1, Z * 1e9);
        PoleVector.assign({P1 * 1e9, P2 * 1e9});
    } else {
        if (!ok)
            return false;
        // Copies: the section marks cancelled pole/zero pairs in the lists it
        // is given, which must not alter the caller's lists.
        ZeroVector = ZeroList != nullptr ? *ZeroList : std::vector<double>();
        PoleVector = PoleList != nullptr ? *PoleList : std::vector<double>();
    }

    PZSection.SampleRate = static_cast<double>(SamplesPerBit) * BitRate;
    PZSection.Gain = 1.0;
    PZSection.RealPoles = &PoleVector;
    PZSection.RealZeros = &ZeroVector;
    PZSection.FreqUnit = 1;
    PZSection.EnablePreWarping = 1;
    bool result = PZSection.Setup(UseFile, msg);
    if (DataType == 1 && result) {
        msg << "For FPeak = " << FPeak << " and dB_Peak = " << dB_Peak << ",  CTLE zero = " << Z * 1e9
            << ",  CTLE poles = " << P1 * 1e9 << ",  " << P2 * 1e9 << "\n";
    }
    return result;
}

// Z, P1 and P2 in GHz at the table's peak frequency for dB_Peak: the end
// rows beyond the table, otherwise linear in ln(dB) between the rows around
// it. False (with its message) when no valid set is found.
bool CTLE::designFromTable(std::stringstream& msg)
{
    const double d = dB_Peak;
    if (d > 49.9) {
        Z = CTLE_PZ_List[kRows - 1][1];
        P1 = CTLE_PZ_List[kRows - 1][2];
        P2 = CTLE_PZ_List[kRows - 1][3];
    } else if (d < 0.11) {
        Z = CTLE_PZ_List[0][1];
        P1 = CTLE_PZ_List[0][2];
        P2 = CTLE_PZ_List[0][3];
    } else {
        int i = 1;
        while (i < kRows && !(CTLE_PZ_List[i][0] > d))
            ++i;
        if (i >= kRows) {
            msg << "Did not find valid set of Z, P1, P2 for the given specifications.\n";
            return false;
        }
        const double* lo = CTLE_PZ_List[i - 1];
        const double* hi = CTLE_PZ_List[i];
        if (d == lo[0]) {
            Z = lo[1];
            P1 = lo[2];
            P2 = lo[3];
        } else {
            // Linear in ln(dB).
            const double f = (std::log(d) - std::log(lo[0])) / (std::log(hi[0]) - std::log(lo[0]));
            Z = lo[1] + (hi[1] - lo[1]) * f;
            P1 = lo[2] + (hi[2] - lo[2]) * f;
            P2 = lo[3] + (hi[3] - lo[3]) * f;
        }
    }
    if (Z < 0.0) {
        msg << "Did not find valid set of Z, P1, P2 for the given specifications.\n";
        return false;
    }
    return true;
}

void CTLE::Initialize()
{
    PZSection.Initialize();
}

void CTLE::Run(std::stringstream& msg)
{
    PZSection.Input = Input;
    PZSection.Run(msg);
    Output = PZSection.Output / OutputDivisor;
}

void CTLE::Finalize()
{
    PZSection.Finalize();
}

}  // namespace Veltramodels20200612
