#ifndef VM_EQ_LISTCASCADE_H
#define VM_EQ_LISTCASCADE_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "dsp/FFTConvolution.h"
#include "dsp/FIR.h"
#include "dsp/ImpulseOperations.h"
#include "dsp/SampleVectors.h"
#include "dsp/SetupChecks.h"
#include "dsp/SpanConvolution.h"
#include "dsp/TrialEyes.h"
#include "eq/SectionChannel.h"

namespace Veltramodels20200612 {

// The words that tell the cascades of the two list families apart in their
// messages; everything else they write is the same.
struct ListCascadeTexts {
    const char* useFileLine;     // written once to the first open use file
    const char* indexName;       // "StepRespIndex": EQn_<indexName>
    const char* countName;       // "NumStepResp": EQn_<countName>
    const char* adaptName;       // "AdaptStepRespIndex"
    const char* sequentialOpen;  // start of the sequential search's open-eye line
    const char* finalOpenEye;    // final evaluation's open-eye line, up to the ratio
    bool emptyTapsFail;          // a list whose taps are empty fails its convolution
};

// The engine of a cascade of up to four equaliser lists, EQ1 ... EQ4, for
// any list family: it checks the parameters, searches the states (exhaustive
// or sequential) by the open-eye ratio, evaluates the chosen combination,
// adapts the gain and streams samples through the chosen cascade.
//
// The cascade classes derive from it (Derived is the class itself) and keep
// their own public members; the engine reads and writes them by their
// common names (BitRate, Gain, EQ1_Output, ...) and asks the class, through
// a handful of members it provides, for what differs between families:
//   ListType* EQList(int n);               list n (1..4), null otherwise
//   int stateCount(int n) const;           EQn's count of states
//   int& stateIndex(int n);                EQn's chosen index (1..4)
//   int adaptIndex() const;                1 = search the states
//   static const std::vector<double>& tapsOf(ListType&);
//   static const ListCascadeTexts& texts();
//     (these from the family's table of numbered members, CascadeLists)
//   bool SetupEQ(int n, int index, msg);   hands list n its settings
//   bool checkTypeAndTables(SetupChecks&, msg); the checks that close Setup
//   static bool plainFIR(ListType&, double* gain); Run is the FIR of the
//                                          taps from rest, times gain
// so that a search, a convolution or a speed-up is written once for both.
template <class Derived, class ListType> class ListCascade {
public:
    bool Setup(std::ofstream* useFile, std::stringstream& msg)
    {
        Derived& d = self();
        if (d.UseFile == nullptr && useFile != nullptr && useFile->is_open()) {
            d.UseFile = useFile;
            *d.UseFile << Derived::texts().useFileLine;
            d.UseFile->flush();
        }
        // A new channel or new tables: nothing of an earlier search is valid.
        releaseSearchBuffers();
        SetupChecks check(msg);
        checkParameters(check, msg);
        if (!d.checkTypeAndTables(check, msg))
            return false;
        trimChannel();
        d.ListChannel.assign(1, 1.0);
        d.Gain = std::pow(10.0, d.Gain_dB / 20.0);
        return true;
    }

    bool Initialize(std::stringstream& msg)
    {
        Derived& d = self();
        d.SampleCount = 0;
        if (d.stateCount(1) == 0 && d.AdaptForChLoss == 0)
            return true;
        ImpulseOperations ops(d.UseFile);
        if (d.stateCount(1) > 0 && d.adaptIndex() == 1) {
            const bool ok = (d.adaptIndexType() == 1 && d.stateCount(2) > 0) ? sequentialSearch(ops, msg)
                                                                             : exhaustiveSearch(ops, msg);
            releaseSearchBuffers();
            if (!ok)
                return false;
        }
        if (d.SkipFinalEvaluation == 0 && !finalEvaluation(ops, msg))
            return false;
        return prepareForRun(msg);
    }

    void Run(std::stringstream& msg)
    {
        Derived& d = self();
        double x = d.Input;
        double* stage[4] = {&d.EQ1_Output, &d.EQ2_Output, &d.EQ3_Output, &d.EQ4_Output};
        if (d.stateCount(1) <= 0) {
            for (double* out : stage)
                *out = x * d.Gain;
            ++d.SampleCount;
            return;
        }
        const int last = lastList();
        for (int n = 1; n <= last; ++n) {
            ListType* list = d.EQList(n);
            list->Input = x;
            list->Run(msg);
            x = list->Output;
            *stage[n - 1] = (n == last) ? x * d.Gain : x;
        }
        for (int n = last + 1; n <= 4; ++n)
            *stage[n - 1] = *stage[n - 2];
        ++d.SampleCount;
    }

    // count calls of Run on input[0 .. count-1], each final output to
    // output[] (which may be input); the stage outputs and the state are left
    // as the last call leaves them. Needs lists with a RunBlock of their own.
    void RunBlock(const double* input, double* output, std::int64_t count, std::stringstream& msg)
    {
        Derived& d = self();
        if (count <= 0)
            return;
        d.Input = input[count - 1];
        double* stage[4] = {&d.EQ1_Output, &d.EQ2_Output, &d.EQ3_Output, &d.EQ4_Output};
        if (d.stateCount(1) <= 0) {
            for (std::int64_t k = 0; k < count; ++k)
                output[k] = input[k] * d.Gain;
            for (double* out : stage)
                *out = output[count - 1];
            d.SampleCount += count;
            return;
        }
        // Stage by stage over the whole block: every list is causal and keeps
        // its own state, so each sees the same inputs as in single steps.
        const int last = lastList();
        const double* in = input;
        for (int n = 1; n <= last; ++n) {
            d.EQList(n)->RunBlock(in, output, count, msg);
            in = output;
            *stage[n - 1] = output[count - 1];
        }
        for (std::int64_t k = 0; k < count; ++k)
            output[k] = output[k] * d.Gain;
        *stage[last - 1] = output[count - 1];
        for (int n = last + 1; n <= 4; ++n)
            *stage[n - 1] = *stage[n - 2];
        d.SampleCount += count;
    }

    // What RunBlock makes of input[0 .. count-1] when every list is at rest
    // (just initialised), up to rounding: each list's taps convolved in turn
    // by block transforms, times the list's gain, then the cascade's gain.
    // Outputs that the streamed sums give as exact zeros (before the first
    // and after the last that any input can reach) are exact zeros here too.
    // output may be input. The lists are not run: their state, the stage
    // outputs and SampleCount stay as they are. False, with nothing
    // written, when a list in use is not a plain FIR of its taps at rest or
    // the job is small enough for the direct form; RunBlock is then the way.
    bool ResponseFromRest(const double* input, double* output, std::int64_t count)
    {
        Derived& d = self();
        const int last = d.stateCount(1) <= 0 ? 0 : lastList();
        double gain[4] = {1.0, 1.0, 1.0, 1.0};
        std::int64_t taps = 0;
        for (int n = 1; n <= last; ++n) {
            const std::int64_t size = static_cast<std::int64_t>(Derived::tapsOf(*d.EQList(n)).size());
            if (!Derived::plainFIR(*d.EQList(n), &gain[n - 1]) || size == 0)
                return false;
            taps = std::max(taps, size);
        }
        if (count <= 0)
            return true;
        if (last > 0 && !worthBlocks(count, taps))
            return false;
        const size_t size = static_cast<size_t>(count);
        if (output != input)
            std::copy(input, input + count, output);
        for (int n = 1; n <= last; ++n) {
            spanConvolution.Convolve(Derived::tapsOf(*d.EQList(n)), output, size, output, size);
            if (gain[n - 1] != 1.0)
                for (size_t k = 0; k < size; ++k)
                    output[k] = output[k] * gain[n - 1];
        }
        // A gain of one changes no sample (x * 1 is x, signed zeros included).
        if (d.Gain != 1.0)
            for (size_t k = 0; k < size; ++k)
                output[k] = output[k] * d.Gain;
        return true;
    }

    void Finalize()
    {
        finalizeLists();
        releaseSearchBuffers();
    }

    // The final output of the last Run (EQ4_Output).
    double FinalOutput() const { return static_cast<const Derived&>(*this).EQ4_Output; }

    bool InitializeEQ(int n, std::stringstream& msg)
    {
        Derived& d = self();
        ListType* list = d.EQList(n);
        if (list == nullptr)
            return false;
        if (n == 1 && d.stateCount(1) <= 0)
            return true;
        return list->Initialize(msg);
    }

    void Setup_chImp(std::vector<double>& v) { v = self().ScaledChannel; }

    // Replaces v by its convolution with list n's taps (the single tap 1.0
    // for list 1 with no states), as streaming the taps through a FIR whose
    // taps are v gives it: leading zeros of the result dropped. enableFFT =
    // 0: exactly the direct-form sums; 1: FFT convolution, equal to the
    // direct form up to rounding.
    bool convolveEQ(int n, int enableFFT, std::vector<double>& v, std::stringstream&)
    {
        const std::vector<double>* taps = listTaps(n);
        // An empty v or an unknown mode fails as that FIR's set-up would.
        if (taps == nullptr || v.empty() || static_cast<unsigned>(enableFFT) > 1u ||
            (Derived::texts().emptyTapsFail && taps->empty()))
            return false;
        if (enableFFT == 1)
            // The stage input's spectrum is kept per stage, so an input
            // convolved with every state of a list is transformed once.
            stageConvolution[n - 1].Run(*taps, v);
        else
            convolveDirect(*taps, v);
        return true;
    }

    // Drops trailing exact zeros (keeping one sample), then leading ones.
    void truncateEQ(std::vector<double>& v) { SampleVectors::trimZeros(v); }
    // True when the first sample of largest magnitude is negative.
    bool chInverted(const std::vector<double>& v) const { return SampleVectors::largestIsNegative(v); }

protected:
    ListCascade() = default;
    ListCascade(const ListCascade&) = delete;
    ListCascade& operator=(const ListCascade&) = delete;

    void finalizeLists()
    {
        for (int n = 1; n <= 4; ++n)
            self().EQList(n)->Finalize();
    }

private:
    // FFT convolution of each stage, keeping its input's spectrum while the
    // same input is convolved with other taps.
    FFTConvolution stageConvolution[4];
    // Block convolution of the final evaluation and of ResponseFromRest,
    // and the eyes of a one-list search; small, and kept with their
    // transform tables for the next channel.
    SpanConvolution spanConvolution;
    TrialEyes trialEyes;
    std::vector<std::vector<double>> trialTaps;
    std::vector<TrialEyes::Levels> trialLevels;
    // Stage results of the last trial and the indexes they were built for.
    std::vector<double> stageResponse[4];
    int stageIndex[4] = {0, 0, 0, 0};
    int stageValid = 0;  // stages 0 .. stageValid-1 hold results for stageIndex
    int stageFFT = -1;   // convolution mode of the held results

    // The expensive part of the last successful final evaluation: the
    // sign-corrected response and its eye levels, with everything they were
    // computed from. An owner's rebuild for Run repeats the final evaluation
    // on the same channel and taps; it then takes these instead of
    // convolving and measuring again. Kept across Finalize; dropped once it
    // has served a repeat, by the next evaluation and by a Setup with
    // another channel.
    struct FinalEvaluationCache {
        bool valid = false;
        int samplesPerBit = 0;
        double logicLevel = 0.0;
        std::vector<double> channel;   // ScaledChannel
        std::vector<double> taps[4];   // taps of each stage in use
        std::vector<double> response;  // positive-going response
        double bc = 0.0;
        double wc = 0.0;
    };
    FinalEvaluationCache finalCache;

    Derived& self() { return static_cast<Derived&>(*this); }
    const Derived& self() const { return static_cast<const Derived&>(*this); }

    // Convolutions of fewer multiply-adds than this stay in direct form (or,
    // in a search, one full transform): as fast there, and exact. Longer
    // ones go block by block through transforms sized to the taps.
    static bool worthBlocks(std::int64_t spanA, std::int64_t spanB) { return spanA * spanB >= (1 << 20); }

    // List 1 with no states stands for the single tap 1.0.
    static const std::vector<double>& unityTap()
    {
        static const std::vector<double> tap(1, 1.0);
        return tap;
    }

    // Open-eye ratio of one trial. A zero best-case level (no response at
    // all) has no ratio; such a trial never replaces the best one.
    static bool eyeRatio(double bc, double wc, double* ratio)
    {
        if (bc == 0.0)
            return false;
        *ratio = wc / bc;
        return true;
    }

    bool stageInUse(int s) const { return s == 0 || self().stateCount(s + 1) >= 1; }

    // The highest-numbered list in use (lists are used contiguously).
    int lastList() const
    {
        int last = 1;
        while (last < 4 && self().stateCount(last + 1) > 0)
            ++last;
        return last;
    }

    const std::vector<double>* listTaps(int n)
    {
        Derived& d = self();
        if (n == 1 && d.stateCount(1) <= 0)
            return &unityTap();
        ListType* list = d.EQList(n);
        return list == nullptr ? nullptr : &Derived::tapsOf(*list);
    }

    void checkParameters(SetupChecks& check, std::stringstream& msg)
    {
        const Derived& d = self();
        check.channelAndGrid(d.ChannelImpulse, d.BitRate, d.SamplesPerBit);
        checkCounts(check, msg);
        if (d.adaptIndex() == 0)
            checkIndexes(check, msg);
        check.fault(static_cast<unsigned>(d.AdaptForChLoss) > 3u,
                    "AdaptForChLoss must be an integer in the range [0, 3].\n");
        check.fault(!(d.LogicLevel > 0.0), "LogicLevel must be > 0.\n");
        check.fault(!(d.AGC_Level > 0.0), "AGC_Level must be > 0.\n");
        if (check.fault(static_cast<unsigned>(d.adaptIndex()) > 1u))
            msg << Derived::texts().adaptName << " must be an integer either 0 or 1.\n";
    }

    // Lists are used contiguously from EQ1.
    void checkCounts(SetupChecks& check, std::stringstream& msg)
    {
        const Derived& d = self();
        const char* name = Derived::texts().countName;
        const int N1 = d.stateCount(1), N2 = d.stateCount(2), N3 = d.stateCount(3), N4 = d.stateCount(4);
        auto countFault = [&](bool isFault, int n, const char* rule) {
            if (check.fault(isFault))
                msg << "EQ" << n << "_" << name << rule;
            return isFault;
        };
        countFault(N4 < 0, 4, " must be an integer >= 0.\n");
        if (N4 > 0) {
            if (countFault(N3 <= 0, 3, " must be an integer >= 1.\n")) {
                if (N2 < 0)
                    msg << "EQ2_" << name << " must be an integer >= 0.\n";
            } else {
                countFault(N2 <= 0, 2, " must be an integer >= 1.\n");
            }
        } else {
            countFault(N3 < 0, 3, " must be an integer >= 0.\n");
            // EQ3 would be fed from EQ2, which is not in use.
            if (!countFault(N2 < 0, 2, " must be an integer >= 0.\n"))
                countFault(N2 == 0 && N3 > 0, 2, " must be an integer >= 1.\n");
        }
        // Without EQ1 the section is a pure gain and would never use EQ2.
        if (!countFault(N1 < 0, 1, " must be an integer >= 0.\n"))
            countFault(N1 == 0 && N2 > 0, 1, " must be an integer >= 1.\n");
    }

    // EQ1's index is always checked; of the others only the first one out of
    // range is reported, and only when nothing else has failed.
    void checkIndexes(SetupChecks& check, std::stringstream& msg)
    {
        Derived& d = self();
        const char* name = Derived::texts().indexName;
        for (int n = 1; n <= 4; ++n) {
            const int count = d.stateCount(n);
            const int index = d.stateIndex(n);
            const bool fault = count >= 1 && (index < 1 || index > count);
            if (n == 1 && !fault)
                continue;
            if (n > 1 && !check.ok())
                return;
            if (check.fault(fault)) {
                msg << "EQ" << n << "_" << name << " must be an integer in the range [1, " << count << "].\n";
                return;
            }
        }
    }

    // The trimmed channel: trailing exact zeros dropped, at most one leading
    // zero kept, in gain per sample. Only the search and the final evaluation
    // read it; an owner that runs neither may ask for it not to be made (a
    // pass over the channel and a buffer as long).
    void trimChannel()
    {
        Derived& d = self();
        if (d.SkipScaledChannel != 0 && d.adaptIndex() == 0 && d.SkipFinalEvaluation != 0)
            std::vector<double>().swap(d.ScaledChannel);
        else
            SectionChannel::trimmedChannel(*d.ChannelImpulse, d.SamplesPerBit * d.BitRate, d.ScaledChannel);
        if (finalCache.valid && !SampleVectors::same(finalCache.channel, d.ScaledChannel))
            dropFinalCache();
    }

    void releaseSearchBuffers()
    {
        for (int s = 0; s < 4; ++s) {
            stageConvolution[s].Release(self().UseFile);
            std::vector<double>().swap(stageResponse[s]);
        }
        stageValid = 0;
        stageFFT = -1;
    }

    void currentIndexes(int index[4])
    {
        for (int n = 1; n <= 4; ++n)
            index[n - 1] = self().stateIndex(n);
    }

    void setIndexes(const int index[4])
    {
        for (int n = 1; n <= 4; ++n)
            self().stateIndex(n) = index[n - 1];
    }

    void writeIndexLine(const int index[4], std::stringstream& msg)
    {
        const char* name = Derived::texts().indexName;
        msg << "EQ1_" << name << " = " << index[0];
        for (int n = 2; n <= 4; ++n)
            if (self().stateCount(n) > 0)
                msg << ",  EQ" << n << "_" << name << " = " << index[n - 1];
        msg << "\n";
    }

    // Builds the trial response for the given indexes and points response at
    // it (valid until the next build); enableFFT as for convolveStage.
    // Returns 0, or the number (1..4) of the stage whose set-up or
    // convolution failed. With reuse, leading stages already built for the
    // same indexes are kept.
    int buildTrial(const int index[4], int enableFFT, bool reuse, std::stringstream& msg,
                   const std::vector<double>** response)
    {
        Derived& d = self();
        if (!reuse || stageFFT != enableFFT)
            stageValid = 0;
        stageFFT = enableFFT;
        int keep = 0;
        while (keep < stageValid && (!stageInUse(keep) || index[keep] == stageIndex[keep]))
            ++keep;
        stageValid = keep;

        int lastUsed = 0;
        for (int s = 0; s < 4; ++s) {
            if (!stageInUse(s)) {
                stageIndex[s] = index[s];
                if (s >= stageValid)
                    stageValid = s + 1;
                continue;
            }
            if (s >= keep) {
                std::vector<double>& r = stageResponse[s];
                if (s == 0)
                    Setup_chImp(r);
                else
                    r = stageResponse[lastUsed];
                const int n = s + 1;
                if (!d.SetupEQ(n, index[s], msg) || !InitializeEQ(n, msg) ||
                    !convolveStage(n, enableFFT, r, msg)) {
                    stageValid = s;
                    return n;
                }
                truncateEQ(r);
                stageIndex[s] = index[s];
                stageValid = s + 1;
            }
            lastUsed = s;
        }
        *response = &stageResponse[lastUsed];
        return 0;
    }

    // A stage of a trial: enableFFT 0 and 1 as for convolveEQ; 2 gives what 0
    // gives up to rounding, by block transforms.
    bool convolveStage(int n, int enableFFT, std::vector<double>& v, std::stringstream& msg)
    {
        if (enableFFT != 2)
            return convolveEQ(n, enableFFT, v, msg);
        const std::vector<double>* taps = listTaps(n);
        if (taps == nullptr || v.empty() || (Derived::texts().emptyTapsFail && taps->empty()))
            return false;
        convolveSpan(*taps, v);
        return true;
    }

    // convolveDirect's result up to rounding. Its first output is the first
    // exactly nonzero sum, the product of the first nonzero samples, and it
    // holds L = |v| + |x| samples from there, the last nonzero one being the
    // product of the last nonzero samples; the block convolution keeps those
    // ends exact. Should either product vanish (underflow), the direct form
    // decides where the response starts and ends, so it is used.
    void convolveSpan(const std::vector<double>& x, std::vector<double>& v)
    {
        const std::int64_t cFirst = SampleVectors::firstNonzero(v), cLast = SampleVectors::lastNonzero(v);
        const std::int64_t xFirst = SampleVectors::firstNonzero(x), xLast = SampleVectors::lastNonzero(x);
        if (cFirst < 0 || xFirst < 0 || !worthBlocks(cLast - cFirst + 1, xLast - xFirst + 1) ||
            v[cFirst] * x[xFirst] == 0.0 || v[cLast] * x[xLast] == 0.0) {
            convolveDirect(x, v);
            return;
        }
        const size_t size = v.size();
        const size_t first = static_cast<size_t>(cFirst + xFirst);
        v.resize(first + size + x.size(), 0.0);
        if (!spanConvolution.Convolve(x, v.data(), size, v.data(), v.size())) {
            v.resize(size);
            convolveDirect(x, v);
            return;
        }
        v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(first));
    }

    // The response made positive-going: the trial itself, or a negated copy.
    const std::vector<double>& positiveGoing(const std::vector<double>& response,
                                             std::vector<double>& negated) const
    {
        if (!chInverted(response))
            return response;
        negated.resize(response.size());
        for (size_t i = 0; i < response.size(); ++i)
            negated[i] = -response[i];
        return negated;
    }

    bool sequentialSearch(ImpulseOperations& ops, std::stringstream& msg)
    {
        Derived& d = self();
        int counts[4];
        for (int n = 1; n <= 4; ++n)
            counts[n - 1] = d.stateCount(n);
        int index[4] = {1, 1, 1, 1};
        int previous[4] = {1, 1, 1, 1};
        setIndexes(index);
        d.BestEyeRatio = -1e40;
        d.CycleCount = 0;
        const int positions = counts[0] + counts[1] + counts[2] + counts[3];
        const std::vector<double>* response = nullptr;
        for (;;) {
            for (int p = 0; p < positions; ++p) {
                int list = 0;
                int state = p;
                while (state >= counts[list])
                    state -= counts[list++];
                int candidate[4] = {index[0], index[1], index[2], index[3]};
                candidate[list] = state + 1;
                double bc = 0.0, wc = 0.0;
                if (buildTrial(candidate, 1, true, msg, &response) != 0 ||
                    !ops.determineEyeBcWcUpperLevels(*response, d.SamplesPerBit, d.LogicLevel, &bc, &wc,
                                                     msg)) {
                    msg << "Failed during optimization.\n";
                    ++d.CycleCount;
                    msg << "Failed to optimize EQ settings.\n";
                    finalizeLists();
                    return false;
                }
                double ratio = 0.0;
                if (eyeRatio(bc, wc, &ratio) && ratio > d.BestEyeRatio) {
                    d.BestEyeRatio = ratio;
                    index[list] = state + 1;
                    setIndexes(index);
                }
            }
            ++d.CycleCount;
            // Every cycle that changes an index strictly raises the best
            // ratio over a finite set of combinations, so this ends.
            if (index[0] == previous[0] && index[1] == previous[1] &&
                (counts[2] <= 0 || index[2] == previous[2]) && (counts[3] <= 0 || index[3] == previous[3]))
                break;
            std::copy(index, index + 4, previous);
        }
        finalizeLists();
        if (d.SuppressMessages == 0) {
            if (d.BestEyeRatio <= 0.0)
                msg << "Optimization of EQ with " << d.CycleCount
                    << " cycles resulted in a closed eye with optimized states\n";
            else
                msg << Derived::texts().sequentialOpen << d.CycleCount
                    << " cycles resulted in max open eye ratio = " << d.BestEyeRatio
                    << " with optimized states\n";
            writeIndexLine(index, msg);
        }
        return true;
    }

    // One combination of the exhaustive search: 0 when it was measured, else
    // the failure (1 set-up or convolution, 2 eye measurement).
    int exhaustiveTrial(ImpulseOperations& ops, const int candidate[4], double* best,
                        std::vector<double>& negated, std::stringstream& msg)
    {
        Derived& d = self();
        const std::vector<double>* response = nullptr;
        if (buildTrial(candidate, 1, true, msg, &response) != 0) {
            finalizeLists();
            return 1;
        }
        ++d.StateCount;
        finalizeLists();
        const std::vector<double>& trial = positiveGoing(*response, negated);
        double bc = 0.0, wc = 0.0;
        if (!ops.determineEyeBcWcUpperLevels(trial, d.SamplesPerBit, d.LogicLevel, &bc, &wc, msg))
            return 2;
        double ratio = 0.0;
        if (eyeRatio(bc, wc, &ratio) && ratio > *best) {
            *best = ratio;
            setIndexes(candidate);
        }
        return 0;
    }

    bool exhaustiveSearch(ImpulseOperations& ops, std::stringstream& msg)
    {
        Derived& d = self();
        // Every index starts at the first state, so that a search in which no
        // combination yields a ratio (a channel with no response) keeps it.
        const int first[4] = {1, 1, 1, 1};
        setIndexes(first);
        d.StateCount = 0;
        d.CycleCount = 1;
        double best = -1e40;
        const int n2 = std::max(d.stateCount(2), 1);
        const int n3 = std::max(d.stateCount(3), 1);
        const int n4 = std::max(d.stateCount(4), 1);
        std::vector<double> negated;
        if (oneListSearch(&best, msg))
            return exhaustiveMessages(best, msg);
        for (int i1 = 1; i1 <= d.stateCount(1); ++i1)
            for (int i2 = 1; i2 <= n2; ++i2)
                for (int i3 = 1; i3 <= n3; ++i3)
                    for (int i4 = 1; i4 <= n4; ++i4) {
                        const int candidate[4] = {i1, i2, i3, i4};
                        const int failed = exhaustiveTrial(ops, candidate, &best, negated, msg);
                        if (failed != 0) {
                            msg << (failed == 1 ? "Failed during EQ settings optimization.\n"
                                                : "Failed during EQ optimization.\n");
                            msg << "Failed to optimize EQ settings.\n";
                            return false;
                        }
                    }
        return exhaustiveMessages(best, msg);
    }

    bool exhaustiveMessages(double best, std::stringstream& msg)
    {
        Derived& d = self();
        if (d.SuppressMessages == 0) {
            if (best <= 0.0)
                msg << "Optimization of EQ over count = " << d.StateCount
                    << " states resulting in a closed eye with optimized states\n";
            else
                msg << "Optimization of EQ over count = " << d.StateCount
                    << " states resulting in max open eye ratio = " << best << " with optimized states\n";
            int index[4];
            currentIndexes(index);
            writeIndexLine(index, msg);
        }
        return true;
    }

    // The exhaustive search of a single list: every trial is the channel
    // through one state's taps, so the channel is transformed once for all
    // states and no trial response is kept (TrialEyes). The lists are set up
    // and finalised state by state as the trial-by-trial search leaves them,
    // and their messages are the same. False, with nothing written, when a
    // list set-up fails or the trials cannot be measured that way (a use
    // file, more lists, a silent channel or taps): the trial-by-trial search
    // then runs, and reports what it finds.
    bool oneListSearch(double* best, std::stringstream& msg)
    {
        Derived& d = self();
        const int count = d.stateCount(1);
        if (count < 1 || d.stateCount(2) > 0 || (d.UseFile != nullptr && d.UseFile->is_open()))
            return false;
        const std::int64_t channelSpan =
            SampleVectors::lastNonzero(d.ScaledChannel) - SampleVectors::firstNonzero(d.ScaledChannel) + 1;
        std::stringstream setupText;
        trialTaps.resize(static_cast<size_t>(count));
        for (int i = 1; i <= count; ++i) {
            const bool ok = d.SetupEQ(1, i, setupText) && InitializeEQ(1, setupText);
            if (ok)
                trialTaps[i - 1] = Derived::tapsOf(*d.EQList(1));
            finalizeLists();
            // A short channel is searched trial by trial: known from the
            // first state, before the others are set up for nothing.
            const std::int64_t taps = static_cast<std::int64_t>(trialTaps[i - 1].size());
            if (!ok || taps == 0 || !worthBlocks(channelSpan, taps))
                return false;
        }
        const bool measured =
            trialEyes.Measure(d.ScaledChannel, trialTaps, d.SamplesPerBit, d.LogicLevel, trialLevels);
        // The chosen state's convolutions of the same channel usually take
        // transforms of the same length: their roots are computed once.
        spanConvolution.ShareTransformTables(trialEyes.Convolver());
        // The search's spectra, windows and eyes are not needed again: what
        // comes next can have their memory.
        trialEyes.Release();
        if (!measured)
            return false;
        msg << setupText.str();
        d.StateCount = count;
        for (int i = 1; i <= count; ++i) {
            double ratio = 0.0;
            const TrialEyes::Levels& l = trialLevels[i - 1];
            if (eyeRatio(l.bc, l.wc, &ratio) && ratio > *best) {
                *best = ratio;
                const int candidate[4] = {i, 1, 1, 1};
                setIndexes(candidate);
            }
        }
        return true;
    }

    void dropFinalCache()
    {
        finalCache.valid = false;
        std::vector<double>().swap(finalCache.channel);
        std::vector<double>().swap(finalCache.response);
        for (auto& t : finalCache.taps)
            std::vector<double>().swap(t);
    }

    // True when the cache holds the evaluation of these indexes on the
    // current channel; the lists are then set up and finalised exactly as a
    // rebuilt trial leaves them.
    bool finalCacheMatches(const int index[4])
    {
        Derived& d = self();
        // With a use file every kernel call is logged, so nothing is skipped.
        if (!finalCache.valid || (d.UseFile != nullptr && d.UseFile->is_open()))
            return false;
        if (finalCache.samplesPerBit != d.SamplesPerBit ||
            std::memcmp(&finalCache.logicLevel, &d.LogicLevel, sizeof(double)) != 0 ||
            !SampleVectors::same(finalCache.channel, d.ScaledChannel))
            return false;
        // The taps are rebuilt as the trial would build them (set-up messages
        // of a failing list are left to the full evaluation, which repeats
        // them).
        std::stringstream scratch;
        bool same = true;
        for (int s = 0; s < 4 && same; ++s) {
            if (!stageInUse(s))
                continue;
            const int n = s + 1;
            same = d.SetupEQ(n, index[s], scratch) && InitializeEQ(n, scratch) &&
                   SampleVectors::same(*listTaps(n), finalCache.taps[s]);
        }
        finalizeLists();
        releaseSearchBuffers();
        return same;
    }

    // Builds, sign-corrects and measures the response of the current
    // indexes, or takes it from the cache. False on a failure (its message
    // written).
    bool evaluatedResponse(ImpulseOperations& ops, std::vector<double>& response, double* bc, double* wc,
                           std::stringstream& msg)
    {
        Derived& d = self();
        int index[4];
        currentIndexes(index);
        if (finalCacheMatches(index)) {
            // The same channel through the same taps: the same response and
            // levels, bit for bit, without the convolution and the eye. The
            // one repeat it serves has happened, so nothing is kept beyond it.
            response.swap(finalCache.response);
            *bc = finalCache.bc;
            *wc = finalCache.wc;
            dropFinalCache();
            return true;
        }
        const std::vector<double>* built = nullptr;
        const int failed = buildTrial(index, 2, false, msg, &built);
        if (failed != 0) {
            releaseSearchBuffers();
            msg << "Failed setting EQ" << failed << ".\n";
            return false;
        }
        dropFinalCache();
        for (int s = 0; s < 4; ++s)
            if (stageInUse(s))
                finalCache.taps[s] = *listTaps(s + 1);
        finalizeLists();
        response = *built;
        // The other stage results are not needed beyond this trial.
        releaseSearchBuffers();
        if (chInverted(response))
            SampleVectors::negate(response);
        if (!ops.determineEyeBcWcUpperLevels(response, d.SamplesPerBit, d.LogicLevel, bc, wc, msg)) {
            dropFinalCache();
            return false;
        }
        finalCache.samplesPerBit = d.SamplesPerBit;
        finalCache.logicLevel = d.LogicLevel;
        finalCache.channel = d.ScaledChannel;
        finalCache.response = response;
        finalCache.bc = *bc;
        finalCache.wc = *wc;
        finalCache.valid = true;
        return true;
    }

    bool finalEvaluation(ImpulseOperations& ops, std::stringstream& msg)
    {
        Derived& d = self();
        std::vector<double> response;
        double bc = 0.0, wc = 0.0;
        if (!evaluatedResponse(ops, response, &bc, &wc, msg))
            return false;
        // No response at all (zero best-case level) has no opening.
        if (!eyeRatio(bc, wc, &d.BestEyeRatio))
            d.BestEyeRatio = 0.0;
        if (d.SuppressMessages == 0 && d.adaptIndex() == 0) {
            if (d.BestEyeRatio <= 0.0)
                msg << "For the selected EQ states, the eye is closed.\n";
            else
                msg << Derived::texts().finalOpenEye << d.BestEyeRatio << "\n";
        }
        d.EqualizedResponse.swap(response);
        adaptGain(ops, bc, wc, msg);
        return true;
    }

    // A level that cannot be measured (a response with no DC, Nyquist or eye
    // level) leaves the gain as Setup set it.
    void adaptGain(ImpulseOperations& ops, double bc, double wc, std::stringstream& msg)
    {
        Derived& d = self();
        double adapted = d.Gain;
        switch (d.AdaptForChLoss) {
        case 1: {
            double sum = 0.0;
            for (double s : d.EqualizedResponse)
                sum += s;
            if (sum != 0.0)
                adapted = d.AGC_Level / sum;
            break;
        }
        case 2:
            adapted = d.AGC_Level * ops.impulseGainAtNyquist(d.BitRate, d.SamplesPerBit, d.EqualizedResponse);
            break;
        case 3:
            if (wc > 0.0)
                adapted = d.AGC_Level / (wc + bc);
            else if (bc != 0.0)
                adapted = d.AGC_Level / bc;
            break;
        default:
            break;
        }
        if (std::isfinite(adapted) && adapted != 0.0)
            d.Gain = adapted;
        d.Gain_dB = 20.0 * std::log10(std::fabs(d.Gain));
        if (d.SuppressMessages != 0)
            return;
        switch (d.AdaptForChLoss) {
        case 1:
            msg << "To adapt channel+equalizer loss for " << d.AGC_Level << " level at 0 Hz, a gain of "
                << d.Gain_dB << " dB is added at the equalizer output.\n";
            break;
        case 2:
            msg << "To adapt channel+equalizer loss for " << d.AGC_Level << " level at Nyquist ( "
                << d.BitRate / 2 << " ) Hz, a gain of " << d.Gain_dB
                << " dB is added at the equalizer output.\n";
            break;
        case 3:
            msg << "To adapt channel+equalizer loss for peak to peak eye level ( " << d.AGC_Level
                << " ), a gain of " << d.Gain_dB << " dB is added at the equalizer output.\n";
            break;
        default:
            break;
        }
    }

    bool prepareForRun(std::stringstream& msg)
    {
        Derived& d = self();
        int index[4];
        currentIndexes(index);
        bool result = true;
        for (int n = 1; n <= 4 && result; ++n)
            if (n == 1 || d.stateCount(n) > 0)
                result = d.SetupEQ(n, index[n - 1], msg);
        for (int n = 1; n <= 4 && result; ++n)
            if (n == 1 || d.stateCount(n) > 0)
                result = InitializeEQ(n, msg);
        d.SampleCount = 0;
        return result;
    }

    // Direct form. Streaming the taps x (M values, zeros after) through a FIR
    // whose taps are c = v gives, per output sample t < 2L (L = |c| + M),
    //     y[t] = sum over i = 0 .. min(t, |c|-1), in ascending i, of c[i]*x[t-i].
    // Terms with x[t-i] = 0 or c[i] = 0 add a zero to a running sum that
    // starts at +0 and so can never be -0, which leaves it unchanged. Summing
    // only over the i where both factors can be nonzero, still in ascending
    // i, therefore gives every output bit for bit, at a cost of |c| x M
    // instead of |c| x L. Outputs are computed eight at a time, each still in
    // its own ascending-i order, so that the eight independent sums overlap
    // in the processor.
    static void convolveDirect(const std::vector<double>& x, std::vector<double>& v)
    {
        const std::vector<double>& c = v;
        const std::int64_t L = static_cast<std::int64_t>(c.size() + x.size());
        const std::int64_t cLast = SampleVectors::lastNonzero(c);
        const std::int64_t xFirst = SampleVectors::firstNonzero(x);
        const std::int64_t xLast = SampleVectors::lastNonzero(x);
        std::vector<double> out;
        if (cLast >= 0 && xFirst >= 0) {
            // Past cLast + xLast every sum is empty (+0).
            const std::int64_t tEnd = std::min<std::int64_t>(2 * L, cLast + xLast + 1);
            std::vector<double> y(static_cast<size_t>(tEnd));
            directSums(c.data(), cLast, x.data(), xFirst, xLast, y);
            // Outputs up to the first nonzero one are dropped; the stream then
            // writes until L samples are out or the 2L inputs run out, the
            // samples after tEnd being exact zeros.
            std::int64_t f = 0;
            while (f < tEnd && y[f] == 0.0)
                ++f;
            if (f < tEnd) {
                const std::int64_t count = std::min<std::int64_t>(L, 2 * L - f);
                out.assign(static_cast<size_t>(count), 0.0);
                const std::int64_t stop = std::min<std::int64_t>(count, tEnd - f);
                std::copy(y.begin() + f, y.begin() + f + stop, out.begin());
            }
        }
        // No nonzero output at all: the response is a single zero sample, as
        // the trimmed all-zero channel is.
        if (out.empty())
            out.assign(1, 0.0);
        v.swap(out);
    }

    // y[t] for t < size(y): the sums of convolveDirect, eight outputs at a time.
    static void directSums(const double* cp, std::int64_t cLast, const double* xp, std::int64_t xFirst,
                           std::int64_t xLast, std::vector<double>& y)
    {
        const std::int64_t tEnd = static_cast<std::int64_t>(y.size());
        auto lowIndex = [&](std::int64_t t) { return std::max<std::int64_t>(0, t - xLast); };
        auto highIndex = [&](std::int64_t t) { return std::min<std::int64_t>(t - xFirst, cLast); };
        const std::int64_t B = 8;
        for (std::int64_t t0 = 0; t0 < tEnd; t0 += B) {
            const std::int64_t midLo = lowIndex(t0 + B - 1);
            const std::int64_t midHi = highIndex(t0);
            if (t0 + B <= tEnd && midLo <= midHi) {
                double acc[B];
                for (std::int64_t j = 0; j < B; ++j) {
                    double s = 0.0;
                    for (std::int64_t i = lowIndex(t0 + j); i < midLo; ++i)
                        s += cp[i] * xp[t0 + j - i];
                    acc[j] = s;
                }
                FIR::directSums8(cp, midLo, midHi + 1, xp + t0, acc);
                for (std::int64_t j = 0; j < B; ++j) {
                    double s = acc[j];
                    const std::int64_t hi = highIndex(t0 + j);
                    for (std::int64_t i = midHi + 1; i <= hi; ++i)
                        s += cp[i] * xp[t0 + j - i];
                    y[t0 + j] = s;
                }
            } else {
                const std::int64_t stop = std::min(t0 + B, tEnd);
                for (std::int64_t t = t0; t < stop; ++t) {
                    double s = 0.0;
                    const std::int64_t hi = highIndex(t);
                    for (std::int64_t i = lowIndex(t); i <= hi; ++i)
                        s += cp[i] * xp[t - i];
                    y[t] = s;
                }
            }
        }
    }
};

}  // namespace Veltramodels20200612

#endif
