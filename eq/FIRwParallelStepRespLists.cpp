#include "eq/FIRwParallelStepRespLists.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dsp/ImpulseOperations.h"
#include "dsp/SampleVectors.h"
#include "dsp/SetupChecks.h"
#include "eq/GainAdaptation.h"
#include "eq/SectionChannel.h"

namespace Veltramodels20200612 {

FIRwParallelStepRespLists::FIRwParallelStepRespLists()
    : Input(0.0),
      EQ1_Output(0.0),
      Output(0.0),
      ChannelImpulse(nullptr),
      BitRate(28e9),
      SamplesPerBit(32),
      EQ1_StepRespIndex(1),
      EQ2_StepRespIndex(0),
      AdaptForChLoss(0),
      Gain_dB(0.0),
      LogicLevel(0.5),
      AdaptStepRespIndex(0),
      EQ1_NumStepResp(0),
      EQ2_NumStepResp(0),
      EQ1_StepResp_data_values(nullptr),
      EQ2_StepResp_data_values(nullptr),
      EQ1_ColumnArrangement(0),
      EQ2_ColumnArrangement(0),
      InterpolationType(2),
      RatioA1(1.0),
      AdaptRatio(0),
      RatioA1List(1, 1.0),
      Gain(1.0),
      BestEyeRatio(-1e40),
      SuppressMessages(0),
      UseFile(nullptr),
      ListChannel(1, 1.0),
      SampleCount(0),
      CycleCount(0)
{
}

FIRwParallelStepRespLists::~FIRwParallelStepRespLists() {}

FIRwStepRespList* FIRwParallelStepRespLists::EQList(int n)
{
    if (n == 1)
        return &EQ1;
    if (n == 2)
        return &EQ2;
    return nullptr;
}

bool FIRwParallelStepRespLists::Setup(std::ofstream* useFile, std::stringstream& msg)
{
    if (UseFile == nullptr && useFile != nullptr && useFile->is_open()) {
        UseFile = useFile;
        *UseFile << "Veltramodels20200612::FIRwParallelStepRespLists\n";
        UseFile->flush();
    }
    releaseSearchBuffers();

    SetupChecks check(msg);
    check.channelAndGrid(ChannelImpulse, BitRate, SamplesPerBit);
    const int N1 = EQ1_NumStepResp, N2 = EQ2_NumStepResp;
    check.fault(N2 < 0, "EQ2_NumStepResp must be an integer >= 0.\n");
    check.fault(N1 < 1, "EQ1_NumStepResp must be an integer >= 1.\n");
    // The state checks hold with or without the search: its start is state 1.
    if (check.fault(EQ1_StepRespIndex < 1 || EQ1_StepRespIndex > N1))
        msg << "EQ1_StepRespIndex must be an integer in the range [1, " << N1 << "].\n";
    else if (check.ok() && check.fault(N2 > 0 && (EQ2_StepRespIndex < 1 || EQ2_StepRespIndex > N2)))
        msg << "EQ2_StepRespIndex must be an integer in the range [1, " << N2 << "].\n";
    check.fault(static_cast<unsigned>(AdaptForChLoss) > 3u,
                "AdaptForChLoss must be an integer in the range [0, 3].\n");
    check.fault(N1 < 1 || N2 < 1, "EQ1_NumStepResp and EQ2_NumStepResp must both be > 0.\n");
    check.fault(!(LogicLevel > 0.0), "LogicLevel must be > 0.\n");
    check.fault(static_cast<unsigned>(AdaptStepRespIndex) > 1u,
                "AdaptStepRespIndex must be an integer either 0 or 1.\n");
    auto tableMissing = [](std::vector<double>** table) {
        return table == nullptr || *table == nullptr || (*table)[0].empty();
    };
    if (!check.fault(tableMissing(EQ1_StepResp_data_values),
                     "EQ1_StepResp_data_values vector size must be > 0.\n") &&
        check.ok())
        check.fault(tableMissing(EQ2_StepResp_data_values),
                    "EQ2_StepResp_data_values vector size must be > 0.\n");
    // Written so that NaN fails too.
    check.fault(!(RatioA1 >= 0.0 && RatioA1 <= 1.0), "RatioA1 must be in the range [0, 1].\n");
    check.fault(static_cast<unsigned>(AdaptRatio) > 1u, "AdaptRatio must be either 0 or 1.\n");
    if (!check.ok())
        return false;
    if (AdaptRatio == 1) {
        if (RatioA1List.empty()) {
            msg << "Array RatioA1List must have at least one member.\n";
            return false;
        }
        for (double r : RatioA1List) {
            if (!(r >= 0.0 && r <= 1.0)) {
                msg << "RatioA1List[] values must be in the range [0, 1].\n";
                return false;
            }
        }
    }

    SectionChannel::trimmedChannel(*ChannelImpulse, SamplesPerBit * BitRate, ScaledChannel);

    ListChannel.assign(1, 1.0);
    Gain = std::pow(10.0, Gain_dB / 20.0);
    return true;
}

bool FIRwParallelStepRespLists::SetupEQ(int n, int index, std::stringstream& msg)
{
    FIRwStepRespList* list = EQList(n);
    if (list == nullptr)
        return false;
    list->StepRespIndex = index;
    list->SuppressMessages = 1;
    list->ChannelImpulse = &ListChannel;
    list->BitRate = BitRate;
    list->SamplesPerBit = SamplesPerBit;
    list->InterpolationType = InterpolationType;
    list->NumStepResp = (n == 1) ? EQ1_NumStepResp : EQ2_NumStepResp;
    list->StepResp_data_values = (n == 1) ? EQ1_StepResp_data_values : EQ2_StepResp_data_values;
    list->ColumnArrangement = (n == 1) ? EQ1_ColumnArrangement : EQ2_ColumnArrangement;
    // The section does the choosing and the gain; the list only holds taps.
    list->AdaptStepRespIndex = 0;
    list->AdaptForLogicLevel = 0;
    list->OutputStepRespData = 0;
    list->Gain_dB = 0.0;
    return list->Setup(nullptr, msg);
}

bool FIRwParallelStepRespLists::InitializeEQ(int n, std::stringstream& msg)
{
    FIRwStepRespList* list = EQList(n);
    if (list == nullptr)
        return false;
    return list->Initialize(msg);
}

void FIRwParallelStepRespLists::Setup_chImp(std::vector<double>& v)
{
    v = ScaledChannel;
}

bool FIRwParallelStepRespLists::convolveEQ(int n, int enableFFT, std::vector<double>& v, std::stringstream&)
{
    std::int64_t offset = 0;
    return convolvePath(n, enableFFT, v, &offset);
}

bool FIRwParallelStepRespLists::convolvePath(int n, int enableFFT, std::vector<double>& v,
                                             std::int64_t* offset)
{
    FIRwStepRespList* list = EQList(n);
    *offset = 0;
    // The convolution streams the taps through a FIR whose taps are v; an
    // empty v or an unknown mode is what that FIR's set-up refuses.
    if (list == nullptr || v.empty() || static_cast<unsigned>(enableFFT) > 1u)
        return false;
    if (enableFFT == 1)
        convolution.Run(list->Taps(), v, offset);
    else
        convolveDirect(list->Taps(), v, offset);
    return true;
}

// Direct form. Streaming the taps x (M values, zeros after) through a FIR
// whose taps are c = v gives, per output step t < 2L (L = |c| + M),
//     y[t] = sum over i = 0 .. min(t, |c|-1), in ascending i, of c[i]*x[t-i].
// A term with x[t-i] = 0 adds a zero to a running sum that starts at +0 and so
// can never be -0, which leaves the sum unchanged. Summing only over the i
// where x can be nonzero, still in ascending i, gives every output bit for
// bit at a cost of |c| x M rather than |c| x L.
void FIRwParallelStepRespLists::convolveDirect(const std::vector<double>& x, std::vector<double>& v,
                                               std::int64_t* offset) const
{
    const std::vector<double> c(v);
    const std::int64_t nc = static_cast<std::int64_t>(c.size());
    const std::int64_t M = static_cast<std::int64_t>(x.size());
    const std::int64_t L = nc + M;

    std::int64_t cLast = -1;
    for (std::int64_t i = nc - 1; i >= 0; --i) {
        if (c[i] != 0.0) {
            cLast = i;
            break;
        }
    }
    std::int64_t xFirst = -1, xLast = -1;
    for (std::int64_t j = 0; j < M; ++j) {
        if (x[j] != 0.0) {
            if (xFirst < 0)
                xFirst = j;
            xLast = j;
        }
    }

    std::vector<double> out;
    std::int64_t firstWritten = -1;
    if (cLast >= 0 && xFirst >= 0) {
        // Beyond cLast + xLast every sum is empty, an exact zero.
        const std::int64_t tEnd = std::min<std::int64_t>(2 * L, cLast + xLast + 1);
        for (std::int64_t t = 0; t < tEnd && static_cast<std::int64_t>(out.size()) < L; ++t) {
            const std::int64_t lo = std::max<std::int64_t>(0, t - xLast);
            const std::int64_t hi = std::min<std::int64_t>(t - xFirst, cLast);
            double sum = 0.0;
            for (std::int64_t i = lo; i <= hi; ++i)
                sum += c[i] * x[t - i];
            if (firstWritten < 0) {
                if (sum == 0.0)
                    continue;
                firstWritten = t;
                out.reserve(static_cast<size_t>(std::min<std::int64_t>(L, tEnd - t)));
            }
            out.push_back(sum);
        }
        if (firstWritten >= 0) {
            // The stream goes on with zeros until L samples are written or
            // the 2L steps run out.
            const std::int64_t room = std::min<std::int64_t>(L, 2 * L - firstWritten);
            if (static_cast<std::int64_t>(out.size()) < room)
                out.resize(static_cast<size_t>(room), 0.0);
        }
    }
    if (out.empty())
        out.assign(1, 0.0);
    *offset = std::max<std::int64_t>(firstWritten, 0);
    v.swap(out);
}

void FIRwParallelStepRespLists::truncateEQ(std::vector<double>& v)
{
    SampleVectors::trimZeros(v);
}

bool FIRwParallelStepRespLists::chInverted(const std::vector<double>& v) const
{
    return SampleVectors::largestIsNegative(v);
}

// One path of a trial: the channel through list n in state index, trimmed
// of exact zeros at both ends. offset is the sample of the full convolution
// that the path's first sample stands for.
bool FIRwParallelStepRespLists::buildPath(int n, int index, int enableFFT, Path& r, std::stringstream& msg)
{
    Setup_chImp(r.samples);
    const bool ok =
        SetupEQ(n, index, msg) && InitializeEQ(n, msg) && convolvePath(n, enableFFT, r.samples, &r.offset);
    EQList(n)->Finalize();
    if (!ok)
        return false;
    r.offset += static_cast<std::int64_t>(SampleVectors::trimZeros(r.samples));
    return true;
}

// T = ratio x path 1 + (1 - ratio) x path 2, made positive-going. The two
// paths run side by side in Run, so they are added at the times they stand
// for: trimming each path's leading zeros on its own would shift one
// against the other whenever the lists' responses start after different
// delays, and the search would judge a response the section never gives.
// T starts at the earlier of the two paths.
void FIRwParallelStepRespLists::combine(const Path& r1, const Path& r2, double ratio,
                                        std::vector<double>& t) const
{
    const std::int64_t base = std::min(r1.offset, r2.offset);
    const std::int64_t end = std::max(r1.offset + static_cast<std::int64_t>(r1.samples.size()),
                                      r2.offset + static_cast<std::int64_t>(r2.samples.size()));
    t.assign(static_cast<size_t>(end - base), 0.0);
    const double other = 1.0 - ratio;
    auto at = [](const Path& p, std::int64_t k) {
        const std::int64_t i = k - p.offset;
        return (i >= 0 && i < static_cast<std::int64_t>(p.samples.size())) ? p.samples[static_cast<size_t>(i)]
                                                                           : 0.0;
    };
    for (std::int64_t k = base; k < end; ++k)
        t[static_cast<size_t>(k - base)] = ratio * at(r1, k) + other * at(r2, k);
    if (chInverted(t))
        for (double& s : t)
            s = -s;
}

// Eye levels and open-eye ratio of a trial response. A response without any
// level (a silent channel: zero best-case level) has no ratio; it never
// replaces the best choice, so the first choice stays.
bool FIRwParallelStepRespLists::measure(ImpulseOperations& ops, const std::vector<double>& t, double* bc,
                                        double* wc, double* ratio, bool* hasRatio, std::stringstream& msg)
{
    *bc = 0.0;
    *wc = 0.0;
    if (!ops.determineEyeBcWcUpperLevels(t, SamplesPerBit, LogicLevel, bc, wc, msg))
        return false;
    *hasRatio = (*bc != 0.0);
    *ratio = *hasRatio ? *wc / *bc : 0.0;
    return true;
}

bool FIRwParallelStepRespLists::search(ImpulseOperations& ops, std::stringstream& msg)
{
    const int N1 = EQ1_NumStepResp, N2 = EQ2_NumStepResp;
    const int NR = (AdaptRatio == 1) ? static_cast<int>(RatioA1List.size()) : 0;
    int index[2] = {1, 1};
    int ratioChoice = 0;
    double ratio = (AdaptRatio == 1) ? RatioA1List[0] : RatioA1;
    BestEyeRatio = -1e40;
    CycleCount = 0;

    // The paths of the current choices. A path depends only on its own
    // list's state, so trials that change the other coordinate reuse it.
    Path path[2], candidatePath;
    std::vector<double> trial;
    bool pathValid[2] = {false, false};

    auto fail = [&]() {
        msg << "Failed during optimization.\n";
        msg << "Failed to optimize EQ settings.\n";
        return false;
    };

    for (;;) {
        const int previous[3] = {index[0], index[1], ratioChoice};
        for (int p = 0; p < N1 + N2 + NR; ++p) {
            for (int k = 0; k < 2; ++k) {
                if (!pathValid[k]) {
                    if (!buildPath(k + 1, index[k], 1, path[k], msg))
                        return fail();
                    pathValid[k] = true;
                }
            }
            int list = -1, state = 0, choice = ratioChoice;
            double r = ratio;
            if (p < N1) {
                list = 0;
                state = p + 1;
            } else if (p < N1 + N2) {
                list = 1;
                state = p - N1 + 1;
            } else {
                choice = p - N1 - N2;
                r = RatioA1List[choice];
            }
            const Path* r1 = &path[0];
            const Path* r2 = &path[1];
            if (list >= 0 && state != index[list]) {
                if (!buildPath(list + 1, state, 1, candidatePath, msg))
                    return fail();
                (list == 0 ? r1 : r2) = &candidatePath;
            }
            combine(*r1, *r2, r, trial);

            double bc, wc, eye;
            bool hasRatio = false;
            if (!measure(ops, trial, &bc, &wc, &eye, &hasRatio, msg))
                return fail();
            if (hasRatio && eye > BestEyeRatio) {
                BestEyeRatio = eye;
                if (list >= 0) {
                    if (state != index[list])
                        std::swap(path[list], candidatePath);
                    index[list] = state;
                } else {
                    ratioChoice = choice;
                    ratio = r;
                }
            }
        }
        ++CycleCount;
        // A cycle that changes a choice strictly raises the best ratio over a
        // finite set of combinations, so the search ends.
        if (index[0] == previous[0] && index[1] == previous[1] && ratioChoice == previous[2])
            break;
    }

    EQ1_StepRespIndex = index[0];
    EQ2_StepRespIndex = index[1];
    if (AdaptRatio == 1)
        RatioA1 = ratio;

    if (SuppressMessages == 0) {
        if (BestEyeRatio <= 0.0)
            msg << "Optimization of EQ with " << CycleCount
                << " cycles resulted in a closed eye with optimized states\n";
        else
            msg << "Optimization of EQ with " << CycleCount
                << " cycles resulted in max open eye ratio = " << BestEyeRatio << " with optimized states\n";
        msg << "EQ1_StepRespIndex = " << index[0];
        if (EQ2_NumStepResp > 0)
            msg << ",  EQ2_StepRespIndex = " << index[1];
        if (AdaptRatio == 1)
            msg << ",  RatioA1 = " << ratio;
        msg << "\n";
    }
    return true;
}

bool FIRwParallelStepRespLists::finalEvaluation(ImpulseOperations& ops, std::stringstream& msg)
{
    Path r1, r2;
    std::vector<double> t;
    if (!buildPath(1, EQ1_StepRespIndex, 0, r1, msg)) {
        msg << "Failed setting EQ1.\n";
        return false;
    }
    if (!buildPath(2, EQ2_StepRespIndex, 0, r2, msg)) {
        msg << "Failed setting EQ2.\n";
        return false;
    }
    combine(r1, r2, RatioA1, t);
    std::vector<double>().swap(r1.samples);
    std::vector<double>().swap(r2.samples);

    double bc, wc, eye;
    bool hasRatio = false;
    if (!measure(ops, t, &bc, &wc, &eye, &hasRatio, msg))
        return false;
    BestEyeRatio = eye;  // 0 (closed) when there is no level at all
    // These lines are written whatever SuppressMessages says.
    if (BestEyeRatio <= 0.0)
        msg << "For the selected EQ states, the eye is closed.\n";
    else
        msg << "For the selected EQ states, the open eye ratio = " << BestEyeRatio << "\n";
    EqualizedResponse.swap(t);

    // Gain adaptation. A level that cannot be measured (no DC, Nyquist or eye
    // level, as for a silent channel) leaves the gain as Setup set it.
    // The level is 1 at 0 Hz and Nyquist, the logic level for the eye.
    const GainAdaptation::Response response = {EqualizedResponse, bc, wc, BitRate, SamplesPerBit};
    const double level = AdaptForChLoss == 3 ? LogicLevel : 1.0;
    GainAdaptation::keepUsable(GainAdaptation::adapted(AdaptForChLoss, level, response, ops, Gain), &Gain,
                               &Gain_dB);

    switch (AdaptForChLoss) {
    case 1:
        msg << "To adapt for channel+equalizer loss at 0 Hz, a gain of " << Gain_dB
            << " dB is added at the equalizer output.\n";
        break;
    case 2:
        msg << "To adapt for channel+equalizer loss at Nyquist ( " << BitRate / 2 << " ) Hz, a gain of "
            << Gain_dB << " dB is added at the equalizer output.\n";
        break;
    case 3:
        msg << "To adapt for channel+equalizer loss relative to the LogicLevel = " << LogicLevel
            << ", a gain of " << Gain_dB << " dB is added at the equalizer output.\n";
        break;
    default:
        break;
    }
    return true;
}

bool FIRwParallelStepRespLists::Initialize(std::stringstream& msg)
{
    SampleCount = 0;
    ImpulseOperations ops(UseFile);
    bool ok = true;
    if (AdaptStepRespIndex == 1)
        ok = search(ops, msg);
    if (ok)
        ok = finalEvaluation(ops, msg);
    releaseSearchBuffers();
    if (!ok)
        return false;

    ok = SetupEQ(1, EQ1_StepRespIndex, msg) && SetupEQ(2, EQ2_StepRespIndex, msg) && InitializeEQ(1, msg) &&
         InitializeEQ(2, msg);
    SampleCount = 0;
    return ok;
}

void FIRwParallelStepRespLists::Run(std::stringstream& msg)
{
    EQ1.Input = Input;
    EQ2.Input = Input;
    EQ1.Run(msg);
    EQ2.Run(msg);
    EQ1_Output = RatioA1 * EQ1.Output * Gain;
    Output = EQ1_Output + (1.0 - RatioA1) * EQ2.Output * Gain;
    ++SampleCount;
}

void FIRwParallelStepRespLists::Finalize()
{
    EQ1.Finalize();
    EQ2.Finalize();
    releaseSearchBuffers();
}

void FIRwParallelStepRespLists::releaseSearchBuffers()
{
    convolution.Release(UseFile);
}

}  // namespace Veltramodels20200612
