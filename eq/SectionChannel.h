#ifndef VM_EQ_SECTIONCHANNEL_H
#define VM_EQ_SECTIONCHANNEL_H

#include <fstream>
#include <sstream>
#include <vector>

#include "eq/AutoGainControl.h"

namespace Veltramodels20200612 {

// The channel handling both front-end sections (step-response and
// pole/zero) share: the lists' working channel, and the level control that
// serves alone when no list is in use.
class SectionChannel {
public:
    // The lists' channel: every sample times the sample rate, then times the
    // input gain (in that order, as every earlier build rounded it), made
    // positive-going. An empty channel is handed on as one zero sample, the
    // trimmed form of any silent channel.
    static void workingChannel(const std::vector<double>& channel, double sampleRate, double inputGain,
                               std::vector<double>& out);

    // The channel a cascade or parallel section works on: trailing exact
    // zeros dropped, at most one leading zero kept, every sample divided by
    // divisor (samples per bit x bit rate: gain per sample).
    static void trimmedChannel(const std::vector<double>& channel, double divisor, std::vector<double>& out);

    struct LevelSettings {
        double BitRate;
        int SamplesPerBit;
        double SampleRate;
        double InputGain;
        double OutputLevel;
        int AdaptForOutputLevel;
        double TxDataLevelPtoP;
    };
    // Level control alone: the channel (gain per sample) is taken to the
    // sample rate and the input gain, measured by the gain control, and
    // brought back to gain per sample. An empty channel has no level to
    // measure: the preset gain stays. False when the gain control fails.
    static bool levelControlOnly(AutoGainControl& agc, std::vector<double>& channel, const LevelSettings& s,
                                 std::ofstream* useFile, std::stringstream& msg);
};

}  // namespace Veltramodels20200612

#endif
