#ifndef VM_EQ_AUTOGAINCONTROL_H
#define VM_EQ_AUTOGAINCONTROL_H

#include <fstream>
#include <sstream>
#include <vector>

namespace Veltramodels20200612 {

// One scalar gain that brings a channel's signal level to a target. The gain
// is measured from the channel impulse (at 0 Hz, at Nyquist or from the eye's
// upper levels), applied to that impulse in place by Initialize, and applied
// to streamed samples by Run.
//
// Use: set the members, Setup, Initialize, then Run once per sample.
class AutoGainControl {
public:
    AutoGainControl();

    bool Setup(std::ofstream* useFile, std::stringstream& msg);
    bool Initialize(std::stringstream& msg);
    double Run();
    void DeleteBuffers();

    double Input;
    double Output;
    std::vector<double>* ChannelImpulse;  // not owned; scaled in place by Initialize
    int SamplesPerBit;
    double BitRate;
    int AGC_Type;         // 0 keep ScalarGain, 1 level at 0 Hz, 2 at Nyquist, 3 eye level
    double AGC_Level;     // target peak-to-peak level
    double TxLogicLevel;  // half the transmitted peak-to-peak swing
    double ScalarGain;    // preset by the owner, replaced when AGC_Type >= 1
    double BestCaseUpperLevel;
    double WorstCaseUpperLevel;
    std::ofstream* UseFile;  // not owned

private:
    bool useFileHeaderWritten;
};

}  // namespace Veltramodels20200612

#endif
