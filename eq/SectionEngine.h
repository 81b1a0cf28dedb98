#ifndef VM_EQ_SECTIONENGINE_H
#define VM_EQ_SECTIONENGINE_H

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <fstream>
#include <sstream>
#include <vector>

#include "dsp/SetupChecks.h"
#include "eq/SectionChannel.h"
#include "eq/SectionSetup.h"
#include "eq/SectionSpectra.h"

namespace Veltramodels20200612 {

// What tells the front-end sections of the two list families apart beyond
// their cascades: two message lines and the few places where their rules
// have always differed.
struct SectionFamily {
    const char* useFileLine;      // written once to the first open use file
    const char* generatingLine;   // opens the lists' path (unless SuppressMessages)
    bool listsPastFEType;         // an FEType above 4 still has lists 2 and 3 checked
    bool agcLineAlways;           // the level-control line ignores SuppressMessages
    bool emptyChannelStaysEmpty;  // else the lists see an empty channel as one zero sample
    bool chosenAfterSearchOnly;   // the cascade's indexes come back only after a search
    bool ratioEvenOnFailure;      // BestEyeRatio is the cascade's even when it failed

    static const SectionFamily stepResponse;
    static const SectionFamily poleZero;
};

// The two families side by side, so that where they part is read in one place.
inline const SectionFamily SectionFamily::stepResponse = {
    "Veltramodels20200612::RxLTI_StepResp_AMI\n",
    "\nGenerating front end (FE) model based on step response data.\n",
    true,
    false,
    true,
    false,
    false};
inline const SectionFamily SectionFamily::poleZero = {
    "Veltramodels20200612::RxLTI_PZ_AMI\n",
    "\nGenerating front end (FE) model based on pole and zero data.\n",
    false,
    true,
    false,
    true,
    true};

// The engine of a front-end section over a cascade of equaliser lists, for
// either list family: the common parameter rules, the three paths of
// Initialize (no equaliser, level control alone, the lists), the hand-over
// of the section's settings and numbered lists to the cascade, the chosen
// states coming back, the section's own unit-impulse response and Run.
//
// The section classes derive from it (Derived is the class itself) and keep
// their own public members, which the engine reads and writes by their
// common names (FEType, NumData1, Data1Index, Cascade, ...). A class
// provides what differs between the families:
//   static const SectionFamily& family();  one of the records above
//   void passThrough(msg);             FEType 0: its line and OutputImpulse
//   void handSearchSettings();         the cascade's search switches
//   bool handList(int n, msg);         list n's states to the cascade
//   int cascadeCount(int n);           the cascade's count of states of list n
//   int chosenIndex(int n);            the cascade's index of list n
//   bool buildOutputImpulse(msg);      the channel through the chosen lists
//   bool buildSpectra(msg);
// and may replace the defaults of
//   bool checkSectionRules(SetupChecks&, msg);  rules after the common ones
//   bool equaliseChannel(msg);         the lists' search and evaluation
//   void runLists(msg);                one sample through the chosen lists
//   void releaseStates();              after the lists' path, good or bad
//   std::size_t listsTapCount(bool*);  taps of the lists in use, finite?
//   bool cascadeInUse();               the lists run through Cascade
// so that a rule, a path or a fix is written once for both sections.
template <class Derived, class CascadeType> class SectionEngine {
public:
    bool Setup(std::ofstream* useFile, std::stringstream& msg)
    {
        Derived& d = self();
        if (!useFileHeaderWritten && useFile != nullptr && useFile->is_open()) {
            *useFile << Derived::family().useFileLine;
            useFile->flush();
            d.UseFile = useFile;
            useFileHeaderWritten = true;
        }
        runReady = false;

        SetupChecks check(msg);
        const SectionSetup::Fields fields = {d.InputGain,
                                             d.AdaptForOutputLevel,
                                             d.AdaptDataIndex,
                                             d.TxDataLevelPtoP,
                                             d.FEType,
                                             {d.NumData1, d.NumData2, d.NumData3, d.NumData4},
                                             {d.Data1Index, d.Data2Index, d.Data3Index, d.Data4Index}};
        SectionSetup::checkCommon(fields, Derived::family().listsPastFEType, check, msg);
        SectionSetup::dropUnusedLists(d.FEType, &d.NumData2, &d.NumData3, &d.NumData4);
        if (!d.checkSectionRules(check, msg))
            return false;
        return check.ok();
    }

    bool Initialize(std::stringstream& msg)
    {
        Derived& d = self();
        runReady = false;
        d.SampleRate = d.SamplesPerBit * d.BitRate;
        SectionSpectra::trimTrailingZeros(d.ChannelImpulse);
        d.OutputImpulse.clear();
        d.SectionImpulse.clear();
        d.OutputSpectrum.clear();
        d.SectionSpectrum.clear();
        d.Frequencies.clear();

        if (d.FEType == 0) {
            d.passThrough(msg);
            runReady = true;
        } else if (agcOnly()) {
            if (Derived::family().agcLineAlways || d.SuppressMessages == 0)
                msg << "\nFront end (FE) model with only AGC used.\n";
            const SectionChannel::LevelSettings level = {
                d.BitRate,     d.SamplesPerBit,       d.SampleRate,     d.InputGain,
                d.OutputLevel, d.AdaptForOutputLevel, d.TxDataLevelPtoP};
            if (!SectionChannel::levelControlOnly(d.AGC, d.ChannelImpulse, level, d.UseFile, msg))
                return false;
            d.OutputImpulse = d.ChannelImpulse;
            runReady = true;
        } else {
            bool done = false;
            const bool ok = initializeLists(msg, &done) && (done || d.buildOutputImpulse(msg));
            d.releaseStates();
            if (!ok)
                return false;
            if (done)
                return true;
        }

        if (d.SkipOutputImpulse != 0 || d.SkipSpectrum != 0)
            return true;
        return d.buildSpectra(msg);
    }

    // One sample through the section. False (Output 0) when the section has
    // not been built by a successful Initialize.
    bool Run(std::stringstream& msg)
    {
        Derived& d = self();
        if (d.FEType == 0) {
            d.Output = d.Input;
            return true;
        }
        if (!runReady) {
            d.Output = 0.0;
            return false;
        }
        if (agcOnly()) {
            d.AGC.Input = d.Input;
            d.Output = d.AGC.Run();
        } else {
            d.runLists(msg);
        }
        return true;
    }

    // Turns a spectrum of FFT bins (scaled by 1/N, N = 2 x its size) into
    // (dB, phase in degrees) with the phase unwrapped along frequencies.
    bool convertSpectrum(std::vector<std::complex<double>>& spectrum, const std::vector<double>& frequencies,
                         std::stringstream& msg)
    {
        return SectionSpectra::convert(spectrum, frequencies, msg);
    }

protected:
    SectionEngine() = default;
    SectionEngine(const SectionEngine&) = delete;
    SectionEngine& operator=(const SectionEngine&) = delete;

    bool runReady = false;               // the active path can Run
    std::vector<double> workingChannel;  // the lists' channel, kept for their rebuild
    bool channelSamplesUnread = false;   // the cascade neither searches nor evaluates

    bool agcOnly() const { return self().FEType == 1 && self().NumData1 == 0; }
    bool listsInUse() const { return self().FEType != 0 && !agcOnly(); }

    // The numbered fields of list n (1..4), through one table each.
    int& numData(int n)
    {
        static int Derived::*const fields[4] = {&Derived::NumData1, &Derived::NumData2, &Derived::NumData3,
                                                &Derived::NumData4};
        return self().*fields[n - 1];
    }
    int& dataIndex(int n)
    {
        static int Derived::*const fields[4] = {&Derived::Data1Index, &Derived::Data2Index,
                                                &Derived::Data3Index, &Derived::Data4Index};
        return self().*fields[n - 1];
    }
    // The index list n starts from: 1 with the search on or a single state.
    int startIndex(int n, int count) { return (self().AdaptDataIndex > 0 || count == 1) ? 1 : dataIndex(n); }

    // Defaults of the hooks a section may replace.
    bool checkSectionRules(SetupChecks&, std::stringstream&) { return true; }
    bool cascadeInUse() const { return true; }
    bool equaliseChannel(std::stringstream& msg) { return equaliseThroughCascade(msg); }
    void runLists(std::stringstream& msg) { runCascade(msg); }
    void releaseStates() {}

    // The cascade's settings from the section's, list 1 and every further
    // list in use handed on, the search and evaluation, and the chosen
    // states and ratio back.
    bool equaliseThroughCascade(std::stringstream& msg)
    {
        Derived& d = self();
        CascadeType& c = d.Cascade;
        c.BitRate = d.BitRate;
        c.SamplesPerBit = d.SamplesPerBit;
        c.AdaptForChLoss = d.AdaptForOutputLevel;
        c.Gain_dB = d.Gain_dB;
        c.LogicLevel = d.TxDataLevelPtoP / 2;
        c.AGC_Level = d.OutputLevel;
        d.handSearchSettings();
        bool ok = d.handList(1, msg);
        for (int n = 2; n <= 4 && ok; ++n)
            if (numData(n) > 0)
                ok = d.handList(n, msg);
        c.SuppressMessages = d.SuppressListMessages;
        c.SkipFinalEvaluation = d.SkipFinalEvaluation;
        // Lists that read no sample of the channel need only know that
        // there is one: they get the section's own channel and make no
        // scaled copy of it.
        c.ChannelImpulse = channelSamplesUnread ? &d.ChannelImpulse : &workingChannel;
        c.SkipScaledChannel = channelSamplesUnread ? 1 : 0;
        if (ok)
            ok = c.Setup(d.UseFile, msg) && c.Initialize(msg);
        if (ok && (!Derived::family().chosenAfterSearchOnly || d.AdaptDataIndex == 1)) {
            for (int n = 1; n <= 4; ++n)
                if (d.cascadeCount(n) > 0)
                    dataIndex(n) = d.chosenIndex(n);
        }
        if (ok || Derived::family().ratioEvenOnFailure)
            d.BestEyeRatio = c.BestEyeRatio;
        return ok;
    }

    void runCascade(std::stringstream& msg)
    {
        Derived& d = self();
        d.Cascade.Input = d.Input;
        d.Cascade.Run(msg);
        d.Output = d.Cascade.FinalOutput();
    }

    // Taps of the cascade's lists in use, all together, and whether they and
    // the gain are finite.
    std::size_t cascadeTapCount(bool* finite)
    {
        Derived& d = self();
        std::size_t count = 0;
        *finite = std::isfinite(d.Cascade.Gain);
        for (int n = 1; n <= 4; ++n) {
            if (d.cascadeCount(n) > 0) {
                const std::vector<double>& taps = d.Cascade.EQList(n)->Taps();
                count += taps.size();
                *finite = *finite && SectionSpectra::allFinite(taps);
            }
        }
        return count;
    }

    // How much of the section's own N-sample unit-impulse response to stream:
    // once every list has seen as many zeros as it has taps, its delay line
    // holds only zeros and, with finite taps, every later output is exactly 0.
    std::size_t sectionImpulseLength(std::size_t N)
    {
        if (!listsInUse())
            return N;
        bool finite = true;
        const std::size_t flush = 1 + self().listsTapCount(&finite);
        return finite ? std::min(N, flush) : N;
    }
    std::size_t listsTapCount(bool* finite) { return cascadeTapCount(finite); }

    // The section's unit-impulse response, `count` samples of it through Run,
    // trailing zeros dropped. False when Run fails (the section not built).
    bool streamSectionImpulse(std::size_t count, std::stringstream& msg)
    {
        Derived& d = self();
        d.SectionImpulse.assign(count, 0.0);
        for (std::size_t i = 0; i < count; ++i) {
            d.Input = (i == 0) ? 1.0 : 0.0;
            if (!Run(msg))
                return false;
            d.SectionImpulse[i] = d.Output;
        }
        SectionSpectra::trimTrailingZeros(d.SectionImpulse);
        return true;
    }

private:
    bool useFileHeaderWritten = false;

    Derived& self() { return static_cast<Derived&>(*this); }
    const Derived& self() const { return static_cast<const Derived&>(*this); }

    // Search (when on), final evaluation and gain of the lists.
    bool initializeLists(std::stringstream& msg, bool* done)
    {
        Derived& d = self();
        *done = false;
        if (d.SuppressMessages == 0)
            msg << Derived::family().generatingLine;

        // The lists' channel: scaled to the sample rate and by InputGain,
        // and positive-going. Without a search or a final evaluation the
        // cascade reads none of its samples, so the copy is not made.
        channelSamplesUnread = d.AdaptDataIndex == 0 && d.SkipFinalEvaluation != 0 &&
                               !d.ChannelImpulse.empty() && d.cascadeInUse();
        if (Derived::family().emptyChannelStaysEmpty && d.ChannelImpulse.empty())
            workingChannel.clear();
        else if (channelSamplesUnread)
            std::vector<double>().swap(workingChannel);
        else
            SectionChannel::workingChannel(d.ChannelImpulse, d.SampleRate, d.InputGain, workingChannel);

        if (!d.equaliseChannel(msg)) {
            msg << "\nERROR:  Front end (FE) model generation failed.\n";
            return false;
        }
        runReady = true;
        if (d.SkipOutputImpulse != 0)
            *done = true;
        return true;
    }
};

}  // namespace Veltramodels20200612

#endif
