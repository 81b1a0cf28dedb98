#ifndef VM_PZ_CTLE_H
#define VM_PZ_CTLE_H

#include <fstream>
#include <sstream>
#include <vector>

#include "pz/SPolesZeros.h"

namespace Veltramodels20200612 {

// Peaking design table: dB_Peak (dB), then the zero Z and the poles P1, P2
// (GHz) of a one-zero, two-pole equaliser peaking at 3.125 GHz; rows in
// ascending dB_Peak.
extern const double CTLE_PZ_List[52][4];

// Continuous-time linear equaliser section, one sample per Run, built on
// SPolesZeros. Either designed from a peak frequency and a peaking in dB
// (DataType 1: one zero and two poles from CTLE_PZ_List, scaled to FPeak),
// or given by explicit lists of pole and zero frequencies (DataType 0).
class CTLE {
public:
    CTLE();

    bool Setup(std::ofstream* useFile, std::stringstream& msg);
    void Initialize();
    void Run(std::stringstream& msg);
    void Finalize();

    double Input;
    double Output;
    double BitRate;
    int SamplesPerBit;
    int DataType;                   // 0 = PoleList/ZeroList, 1 = FPeak/dB_Peak
    std::vector<double>* PoleList;  // Hz, DataType 0; not owned
    std::vector<double>* ZeroList;  // Hz, DataType 0; not owned
    double FPeak;                   // Hz
    double dB_Peak;
    double Z, P1, P2;                // the designed zero and poles, GHz
    std::vector<double> PoleVector;  // Hz, handed to the section
    std::vector<double> ZeroVector;  // Hz, handed to the section
    std::ofstream* UseFile;
    SPolesZeros PZSection;
    double OutputDivisor;

private:
    bool designFromTable(std::stringstream& msg);
};

}  // namespace Veltramodels20200612

#endif
