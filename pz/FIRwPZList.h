#ifndef VM_PZ_FIRWPZLIST_H
#define VM_PZ_FIRWPZLIST_H

#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

#include "dsp/FIR.h"
#include "pz/PZImpulse.h"

namespace Veltramodels20200612 {

class ImpulseOperations;

// One list of pole/zero equaliser states. Each state is a PZImpulse whose
// impulse response becomes the taps of the list's FIR; samples pushed
// through Run come out equalised and scaled by Gain. The list can choose its
// own state by eye opening (AdaptDataIndex = 1) and adapt its gain to a
// level (AdaptForChLoss > 0); in the cascade FIRwMultiplePZLists both are
// off and the list only holds one state's taps.
//
// The FIR runs in direct form: its output is not delayed, and it can be run
// again after Finalize (the pole/zero section does that for its spectra).
class FIRwPZList {
public:
    FIRwPZList();
    // The FIR points at this object's own tap vector.
    FIRwPZList(const FIRwPZList&) = delete;
    FIRwPZList& operator=(const FIRwPZList&) = delete;

    bool Setup(std::ofstream* useFile, std::stringstream& msg);
    bool Initialize(std::stringstream& msg);
    void Run(std::stringstream& msg);
    void Finalize();
    // Replaces the first count samples of v by their full convolution with
    // the taps (size taps + count), streamed through the list's FIR.
    void convolveChImpFIR(std::vector<double>& v, std::int64_t count, std::stringstream& msg);

    double Input = 0.0;
    double Output = 0.0;
    double Time = 0.0;
    std::vector<double>* ChannelImpulse = nullptr;  // not owned
    double BitRate = 28e9;
    int SamplesPerBit = 32;
    int DataIndex = 2;       // selected state, 1-based
    int AdaptForChLoss = 0;  // 0 fixed, 1 gain at 0 Hz, 2 at Nyquist, 3 eye level
    double Gain_dB = 0.0;
    double AGC_Level = 1.0;
    double SourceLogicLevel = 0.5;
    int AdaptDataIndex = 0;
    int NumData = 0;
    PZImpulse* PZ_data = nullptr;  // the states, not owned
    int SuppressMessages = 0;
    double Gain = 1.0;
    std::vector<double> ScaledChannel;
    FIR Filter;
    std::ofstream* UseFile = nullptr;
    std::vector<double> TimeAxis;         // the selected state's time axis
    std::vector<double> ImpulseResponse;  // the selected state's impulse: the taps
    double BestEyeRatio = -1e40;
    double SampleInterval = 0.0;
    std::int64_t SampleCount = 0;

    // The taps, as every list family names them: ImpulseResponse.
    const std::vector<double>& Taps() const { return ImpulseResponse; }

private:
    bool generate(int index, std::stringstream& msg);
    bool searchIndex(ImpulseOperations& ops, double* bc, double* wc, std::stringstream& msg);
    void adaptGain(ImpulseOperations& ops, bool measured, double bc, double wc, std::stringstream& msg);
    void trialChannel(std::vector<double>& v) const;
    bool channelInverted_ = false;
};

}  // namespace Veltramodels20200612

#endif
