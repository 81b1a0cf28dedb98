#include "eq/FIRwMultipleStepRespLists.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dsp/FIR.h"
#include "dsp/ImpulseOperations.h"

namespace Veltramodels20200612 {

namespace {

// List 1 with no states stands for the single tap 1.0.
const std::vector<double>& unityTap()
{
    static const std::vector<double> tap(1, 1.0);
    return tap;
}

bool sameSamples(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// Open-eye ratio of one trial. A zero best-case level (no response at all)
// has no ratio; such a trial never replaces the best one.
bool eyeRatio(double bc, double wc, double* ratio)
{
    if (bc == 0.0)
        return false;
    *ratio = wc / bc;
    return true;
}

}  // namespace

FIRwMultipleStepRespLists::FIRwMultipleStepRespLists()
    : Input(0.0),
      EQ1_Output(0.0),
      EQ2_Output(0.0),
      EQ3_Output(0.0),
      EQ4_Output(0.0),
      ChannelImpulse(nullptr),
      BitRate(28e9),
      SamplesPerBit(32),
      EQ1_StepRespIndex(1),
      EQ2_StepRespIndex(0),
      EQ3_StepRespIndex(0),
      EQ4_StepRespIndex(0),
      AdaptForChLoss(0),
      Gain_dB(0.0),
      LogicLevel(0.5),
      AGC_Level(1.0),
      AdaptStepRespIndex(0),
      AdaptStepRespIndexType(1),
      EQ1_NumStepResp(0),
      EQ2_NumStepResp(0),
      EQ3_NumStepResp(0),
      EQ4_NumStepResp(0),
      EQ1_StepResp_data_values(nullptr),
      EQ2_StepResp_data_values(nullptr),
      EQ3_StepResp_data_values(nullptr),
      EQ4_StepResp_data_values(nullptr),
      EQ1_ColumnArrangement(0),
      EQ2_ColumnArrangement(0),
      EQ3_ColumnArrangement(0),
      EQ4_ColumnArrangement(0),
      InterpolationType(2),
      Gain(1.0),
      SuppressMessages(0),
      CycleCount(0),
      StateCount(0),
      BestEyeRatio(-1e40),
      SkipFinalEvaluation(0),
      UseFile(nullptr),
      ListChannel(1, 1.0),
      SampleCount(0),
      stageIndex{0, 0, 0, 0},
      stageValid(0),
      stageFFT(-1)
{
}

FIRwMultipleStepRespLists::~FIRwMultipleStepRespLists() {}

FIRwStepRespList* FIRwMultipleStepRespLists::EQList(int n)
{
    switch (n) {
    case 1:
        return &EQ1;
    case 2:
        return &EQ2;
    case 3:
        return &EQ3;
    case 4:
        return &EQ4;
    default:
        return nullptr;
    }
}

int FIRwMultipleStepRespLists::NumStepResp(int n) const
{
    switch (n) {
    case 1:
        return EQ1_NumStepResp;
    case 2:
        return EQ2_NumStepResp;
    case 3:
        return EQ3_NumStepResp;
    case 4:
        return EQ4_NumStepResp;
    default:
        return 0;
    }
}

bool FIRwMultipleStepRespLists::stageInUse(int s) const
{
    return s == 0 || NumStepResp(s + 1) >= 1;
}

bool FIRwMultipleStepRespLists::Setup(std::ofstream* useFile, std::stringstream& msg)
{
    if (UseFile == nullptr && useFile != nullptr && useFile->is_open()) {
        UseFile = useFile;
        *UseFile << "Veltramodels20200612::FIRwStepRespList\n";
        UseFile->flush();
    }
    // A new channel or new tables: nothing of an earlier search is valid.
    releaseSearchBuffers();

    bool ok = true;
    if (ChannelImpulse == nullptr || ChannelImpulse->empty()) {
        msg << "ChannelImpulse vector size must be > 0.\n";
        ok = false;
    }
    if (!(BitRate > 0.0)) {
        msg << "BitRate must be > 0.\n";
        ok = false;
    }
    if (SamplesPerBit < 4) {
        msg << "SamplesPerBit must be and integer >= 4.\n";
        ok = false;
    }

    const int N1 = EQ1_NumStepResp, N2 = EQ2_NumStepResp, N3 = EQ3_NumStepResp, N4 = EQ4_NumStepResp;
    if (N4 < 0) {
        msg << "EQ4_NumStepResp must be an integer >= 0.\n";
        ok = false;
    }
    if (N4 > 0) {
        if (N3 <= 0) {
            msg << "EQ3_NumStepResp must be an integer >= 1.\n";
            ok = false;
            if (N2 < 0)
                msg << "EQ2_NumStepResp must be an integer >= 0.\n";
        } else if (N2 <= 0) {
            msg << "EQ2_NumStepResp must be an integer >= 1.\n";
            ok = false;
        }
    } else {
        if (N3 < 0) {
            msg << "EQ3_NumStepResp must be an integer >= 0.\n";
            ok = false;
        }
        if (N2 < 0) {
            msg << "EQ2_NumStepResp must be an integer >= 0.\n";
            ok = false;
        } else if (N2 == 0 && N3 > 0) {
            // EQ3 would be fed from EQ2, which is not in use.
            msg << "EQ2_NumStepResp must be an integer >= 1.\n";
            ok = false;
        }
    }
    if (N1 < 0) {
        msg << "EQ1_NumStepResp must be an integer >= 0.\n";
        ok = false;
    } else if (N1 == 0 && N2 > 0) {
        // Without EQ1 the section is a pure gain and would never use EQ2.
        msg << "EQ1_NumStepResp must be an integer >= 1.\n";
        ok = false;
    }

    if (AdaptStepRespIndex == 0) {
        if (N1 >= 1 && (EQ1_StepRespIndex < 1 || EQ1_StepRespIndex > N1)) {
            msg << "EQ1_StepRespIndex must be an integer in the range [1, " << N1 << "].\n";
            ok = false;
        } else if (ok) {
            const int counts[3] = {N2, N3, N4};
            const int indexes[3] = {EQ2_StepRespIndex, EQ3_StepRespIndex, EQ4_StepRespIndex};
            for (int k = 0; k < 3; ++k) {
                if (counts[k] >= 1 && (indexes[k] < 1 || indexes[k] > counts[k])) {
                    msg << "EQ" << (k + 2) << "_StepRespIndex must be an integer in the range [1, "
                        << counts[k] << "].\n";
                    ok = false;
                    break;
                }
            }
        }
    }
    if (static_cast<unsigned>(AdaptForChLoss) > 3u) {
        msg << "AdaptForChLoss must be an integer in the range [0, 3].\n";
        ok = false;
    }
    if (!(LogicLevel > 0.0)) {
        msg << "LogicLevel must be > 0.\n";
        ok = false;
    }
    if (!(AGC_Level > 0.0)) {
        msg << "AGC_Level must be > 0.\n";
        ok = false;
    }
    if (static_cast<unsigned>(AdaptStepRespIndex) > 1u) {
        msg << "AdaptStepRespIndex must be an integer either 0 or 1.\n";
        ok = false;
    }
    if (static_cast<unsigned>(AdaptStepRespIndexType) > 1u) {
        msg << "AdaptStepRespIndexType must be either 0 or 1.\n";
        ok = false;
    }
    if (EQ1_StepResp_data_values == nullptr || *EQ1_StepResp_data_values == nullptr ||
        (*EQ1_StepResp_data_values)[0].empty()) {
        msg << "EQ1_StepResp_data_values vector size must be > 0.\n";
        return false;
    }
    if (!ok)
        return false;

    std::vector<double>** tables[3] = {EQ2_StepResp_data_values, EQ3_StepResp_data_values,
                                       EQ4_StepResp_data_values};
    const int counts[3] = {N2, N3, N4};
    for (int k = 0; k < 3; ++k) {
        if (counts[k] >= 1 && (tables[k] == nullptr || *tables[k] == nullptr || (*tables[k])[0].empty())) {
            msg << "EQ" << (k + 2) << "_StepResp_data_values vector size must be > 0.\n";
            return false;
        }
    }

    // The trimmed channel: trailing exact zeros dropped, at most one leading
    // zero kept.
    const std::vector<double>& ch = *ChannelImpulse;
    const size_t size = ch.size();
    size_t last = 0;
    for (size_t i = size; i-- > 0;) {
        if (ch[i] != 0.0) {
            last = i;
            break;
        }
    }
    size_t firstNonzero = size;
    for (size_t i = 0; i < size; ++i) {
        if (ch[i] != 0.0) {
            firstNonzero = i;
            break;
        }
    }
    const size_t first = (firstNonzero == size || firstNonzero == 0) ? 0 : firstNonzero - 1;
    const double divisor = SamplesPerBit * BitRate;
    ScaledChannel.resize(last - first + 1);
    for (size_t j = 0; first + j <= last; ++j)
        ScaledChannel[j] = ch[first + j] / divisor;
    ScaledChannel.shrink_to_fit();
    if (finalCache.valid && !sameSamples(finalCache.channel, ScaledChannel))
        dropFinalCache();

    ListChannel.assign(1, 1.0);
    Gain = std::pow(10.0, Gain_dB / 20.0);
    return true;
}

bool FIRwMultipleStepRespLists::SetupEQ(int n, int index, std::stringstream& msg)
{
    FIRwStepRespList* list = EQList(n);
    if (list == nullptr)
        return false;
    std::vector<double>** tables[4] = {EQ1_StepResp_data_values, EQ2_StepResp_data_values,
                                       EQ3_StepResp_data_values, EQ4_StepResp_data_values};
    const int arrangement[4] = {EQ1_ColumnArrangement, EQ2_ColumnArrangement, EQ3_ColumnArrangement,
                                EQ4_ColumnArrangement};
    list->StepRespIndex = index;
    list->SuppressMessages = 1;
    list->ChannelImpulse = &ListChannel;
    list->BitRate = BitRate;
    list->SamplesPerBit = SamplesPerBit;
    list->InterpolationType = InterpolationType;
    list->NumStepResp = NumStepResp(n);
    list->StepResp_data_values = tables[n - 1];
    list->ColumnArrangement = arrangement[n - 1];
    // The section does the choosing and the gain; the list only holds taps.
    list->AdaptStepRespIndex = 0;
    list->AdaptForLogicLevel = 0;
    list->OutputStepRespData = 0;
    list->Gain_dB = 0.0;
    if (n == 1 && EQ1_NumStepResp < 1)
        return true;
    return list->Setup(nullptr, msg);
}

bool FIRwMultipleStepRespLists::InitializeEQ(int n, std::stringstream& msg)
{
    FIRwStepRespList* list = EQList(n);
    if (list == nullptr)
        return false;
    if (n == 1 && EQ1_NumStepResp <= 0)
        return true;
    return list->Initialize(msg);
}

void FIRwMultipleStepRespLists::Setup_chImp(std::vector<double>& v)
{
    v = ScaledChannel;
}

const std::vector<double>* FIRwMultipleStepRespLists::listTaps(int n)
{
    if (n == 1 && EQ1_NumStepResp <= 0)
        return &unityTap();
    FIRwStepRespList* list = EQList(n);
    return list == nullptr ? nullptr : &list->Taps();
}

bool FIRwMultipleStepRespLists::convolveEQ(int n, int enableFFT, std::vector<double>& v, std::stringstream&)
{
    const std::vector<double>* taps = listTaps(n);
    // The convolution is defined as streaming the taps through a FIR whose
    // taps are v, so an empty v or an unknown mode fails as that FIR's set-up
    // would.
    if (taps == nullptr || v.empty() || static_cast<unsigned>(enableFFT) > 1u)
        return false;
    if (enableFFT == 1)
        // The stage input's spectrum is kept per stage, so an input
        // convolved with every state of a list is transformed once.
        stageConvolution[n - 1].Run(*taps, v);
    else
        convolveDirect(*taps, v);
    return true;
}

// Direct form. Streaming the taps x (M values, zeros after) through a FIR
// whose taps are c = v gives, per output sample t < 2L (L = |c| + M),
//     y[t] = sum over i = 0 .. min(t, |c|-1), in ascending i, of c[i]*x[t-i].
// Terms with x[t-i] = 0 or c[i] = 0 add a zero to a running sum that starts
// at +0 and so can never be -0, which leaves it unchanged. Summing only over
// the i where both factors can be nonzero, still in ascending i, therefore
// gives every output bit for bit, at a cost of |c| x M instead of |c| x L.
// Outputs are computed eight at a time, each still in its own ascending-i
// order, so that the eight independent sums overlap in the processor.
void FIRwMultipleStepRespLists::convolveDirect(const std::vector<double>& x, std::vector<double>& v) const
{
    const std::vector<double>& c = v;
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
    if (cLast >= 0 && xFirst >= 0) {
        // Past cLast + xLast every sum is empty (+0).
        const std::int64_t tEnd = std::min<std::int64_t>(2 * L, cLast + xLast + 1);
        std::vector<double> y(static_cast<size_t>(tEnd));
        const double* cp = c.data();
        const double* xp = x.data();
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
    if (out.empty()) {
        // No nonzero output at all: the response is a single zero sample, as
        // the trimmed all-zero channel is.
        out.assign(1, 0.0);
    }
    v.swap(out);
}

void FIRwMultipleStepRespLists::truncateEQ(std::vector<double>& v)
{
    size_t end = v.size();
    while (end > 1 && v[end - 1] == 0.0)
        --end;
    v.resize(end);
    size_t start = 0;
    while (start + 1 < v.size() && v[start] == 0.0)
        ++start;
    if (start > 0)
        v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(start));
}

bool FIRwMultipleStepRespLists::chInverted(const std::vector<double>& v) const
{
    double largest = 0.0;
    double value = 0.0;
    for (double s : v) {
        if (std::fabs(s) > largest) {
            largest = std::fabs(s);
            value = s;
        }
    }
    return value < 0.0;
}

int FIRwMultipleStepRespLists::buildTrial(const int index[4], int enableFFT, bool reuse,
                                          std::stringstream& msg, const std::vector<double>** response)
{
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
            if (!SetupEQ(n, index[s], msg) || !InitializeEQ(n, msg) || !convolveEQ(n, enableFFT, r, msg)) {
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

const std::vector<double>& FIRwMultipleStepRespLists::positiveGoing(const std::vector<double>& response,
                                                                    std::vector<double>& negated) const
{
    if (!chInverted(response))
        return response;
    negated.resize(response.size());
    for (size_t i = 0; i < response.size(); ++i)
        negated[i] = -response[i];
    return negated;
}

void FIRwMultipleStepRespLists::releaseSearchBuffers()
{
    for (int s = 0; s < 4; ++s) {
        stageConvolution[s].Release(UseFile);
        std::vector<double>().swap(stageResponse[s]);
    }
    stageValid = 0;
    stageFFT = -1;
}

void FIRwMultipleStepRespLists::finalizeLists()
{
    EQ1.Finalize();
    EQ2.Finalize();
    EQ3.Finalize();
    EQ4.Finalize();
}

void FIRwMultipleStepRespLists::writeIndexLine(const int index[4], std::stringstream& msg) const
{
    msg << "EQ1_StepRespIndex = " << index[0];
    if (EQ2_NumStepResp > 0)
        msg << ",  EQ2_StepRespIndex = " << index[1];
    if (EQ3_NumStepResp > 0)
        msg << ",  EQ3_StepRespIndex = " << index[2];
    if (EQ4_NumStepResp > 0)
        msg << ",  EQ4_StepRespIndex = " << index[3];
    msg << "\n";
}

bool FIRwMultipleStepRespLists::sequentialSearch(ImpulseOperations& ops, std::stringstream& msg)
{
    const int counts[4] = {EQ1_NumStepResp, EQ2_NumStepResp, EQ3_NumStepResp, EQ4_NumStepResp};
    int index[4] = {1, 1, 1, 1};
    int previous[4] = {1, 1, 1, 1};
    EQ1_StepRespIndex = EQ2_StepRespIndex = EQ3_StepRespIndex = EQ4_StepRespIndex = 1;
    BestEyeRatio = -1e40;
    CycleCount = 0;
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
                !ops.determineEyeBcWcUpperLevels(*response, SamplesPerBit, LogicLevel, &bc, &wc, msg)) {
                msg << "Failed during optimization.\n";
                ++CycleCount;
                msg << "Failed to optimize EQ settings.\n";
                finalizeLists();
                return false;
            }
            double ratio = 0.0;
            if (eyeRatio(bc, wc, &ratio) && ratio > BestEyeRatio) {
                BestEyeRatio = ratio;
                index[list] = state + 1;
                EQ1_StepRespIndex = index[0];
                EQ2_StepRespIndex = index[1];
                EQ3_StepRespIndex = index[2];
                EQ4_StepRespIndex = index[3];
            }
        }
        ++CycleCount;
        // Every cycle that changes an index strictly raises the best ratio
        // over a finite set of combinations, so this ends.
        if (index[0] == previous[0] && index[1] == previous[1] &&
            (counts[2] <= 0 || index[2] == previous[2]) && (counts[3] <= 0 || index[3] == previous[3]))
            break;
        std::copy(index, index + 4, previous);
    }
    finalizeLists();

    if (SuppressMessages == 0) {
        if (BestEyeRatio <= 0.0)
            msg << "Optimization of EQ with " << CycleCount
                << " cycles resulted in a closed eye with optimized states\n";
        else
            msg << "Sequential optimization of EQ with " << CycleCount
                << " cycles resulted in max open eye ratio = " << BestEyeRatio << " with optimized states\n";
        writeIndexLine(index, msg);
    }
    return true;
}

bool FIRwMultipleStepRespLists::exhaustiveSearch(ImpulseOperations& ops, std::stringstream& msg)
{
    // Every index starts at the first state, so that a search in which no
    // combination yields a ratio (a channel with no response) keeps it.
    EQ1_StepRespIndex = EQ2_StepRespIndex = EQ3_StepRespIndex = EQ4_StepRespIndex = 1;
    StateCount = 0;
    CycleCount = 1;
    double best = -1e40;
    const int n2 = std::max(EQ2_NumStepResp, 1);
    const int n3 = std::max(EQ3_NumStepResp, 1);
    const int n4 = std::max(EQ4_NumStepResp, 1);
    const std::vector<double>* response = nullptr;
    std::vector<double> negated;

    for (int i1 = 1; i1 <= EQ1_NumStepResp; ++i1) {
        for (int i2 = 1; i2 <= n2; ++i2) {
            for (int i3 = 1; i3 <= n3; ++i3) {
                for (int i4 = 1; i4 <= n4; ++i4) {
                    const int candidate[4] = {i1, i2, i3, i4};
                    if (buildTrial(candidate, 1, true, msg, &response) != 0) {
                        msg << "Failed during EQ settings optimization.\n";
                        msg << "Failed to optimize EQ settings.\n";
                        finalizeLists();
                        return false;
                    }
                    ++StateCount;
                    finalizeLists();
                    const std::vector<double>& trial = positiveGoing(*response, negated);
                    double bc = 0.0, wc = 0.0;
                    if (!ops.determineEyeBcWcUpperLevels(trial, SamplesPerBit, LogicLevel, &bc, &wc, msg)) {
                        msg << "Failed during EQ optimization.\n";
                        msg << "Failed to optimize EQ settings.\n";
                        return false;
                    }
                    double ratio = 0.0;
                    if (eyeRatio(bc, wc, &ratio) && ratio > best) {
                        best = ratio;
                        EQ1_StepRespIndex = i1;
                        EQ2_StepRespIndex = i2;
                        EQ3_StepRespIndex = i3;
                        EQ4_StepRespIndex = i4;
                    }
                }
            }
        }
    }

    if (SuppressMessages == 0) {
        if (best <= 0.0)
            msg << "Optimization of EQ over count = " << StateCount
                << " states resulting in a closed eye with optimized states\n";
        else
            msg << "Optimization of EQ over count = " << StateCount
                << " states resulting in max open eye ratio = " << best << " with optimized states\n";
        const int index[4] = {EQ1_StepRespIndex, EQ2_StepRespIndex, EQ3_StepRespIndex, EQ4_StepRespIndex};
        writeIndexLine(index, msg);
    }
    return true;
}

void FIRwMultipleStepRespLists::dropFinalCache()
{
    finalCache.valid = false;
    std::vector<double>().swap(finalCache.channel);
    std::vector<double>().swap(finalCache.response);
    for (auto& t : finalCache.taps)
        std::vector<double>().swap(t);
}

bool FIRwMultipleStepRespLists::finalCacheMatches(const int index[4])
{
    // With a use file every kernel call is logged, so nothing is skipped.
    if (!finalCache.valid || (UseFile != nullptr && UseFile->is_open()))
        return false;
    if (finalCache.samplesPerBit != SamplesPerBit ||
        std::memcmp(&finalCache.logicLevel, &LogicLevel, sizeof(double)) != 0 ||
        !sameSamples(finalCache.channel, ScaledChannel))
        return false;
    // The taps are rebuilt as the trial would build them (set-up messages of
    // a failing list are left to the full evaluation, which repeats them).
    std::stringstream scratch;
    bool same = true;
    for (int s = 0; s < 4 && same; ++s) {
        if (!stageInUse(s))
            continue;
        const int n = s + 1;
        same = SetupEQ(n, index[s], scratch) && InitializeEQ(n, scratch) &&
               sameSamples(*listTaps(n), finalCache.taps[s]);
    }
    finalizeLists();
    releaseSearchBuffers();
    return same;
}

void FIRwMultipleStepRespLists::storeFinalCache(std::vector<double> (&taps)[4],
                                                const std::vector<double>& response, double bc, double wc)
{
    finalCache.valid = false;
    finalCache.samplesPerBit = SamplesPerBit;
    finalCache.logicLevel = LogicLevel;
    finalCache.channel = ScaledChannel;
    for (int s = 0; s < 4; ++s)
        finalCache.taps[s].swap(taps[s]);
    finalCache.response = response;
    finalCache.bc = bc;
    finalCache.wc = wc;
    finalCache.valid = true;
}

bool FIRwMultipleStepRespLists::finalEvaluation(ImpulseOperations& ops, std::stringstream& msg)
{
    const int index[4] = {EQ1_StepRespIndex, EQ2_StepRespIndex, EQ3_StepRespIndex, EQ4_StepRespIndex};
    std::vector<double> response;
    double bc = 0.0, wc = 0.0;
    if (finalCacheMatches(index)) {
        // The same channel through the same taps: the same response and
        // levels, bit for bit, without the convolution and the eye. The one
        // repeat it serves has happened, so nothing is kept beyond it.
        response.swap(finalCache.response);
        bc = finalCache.bc;
        wc = finalCache.wc;
        dropFinalCache();
    } else {
        const std::vector<double>* built = nullptr;
        const int failed = buildTrial(index, 0, false, msg, &built);
        if (failed != 0) {
            releaseSearchBuffers();
            msg << "Failed setting EQ" << failed << ".\n";
            return false;
        }
        dropFinalCache();
        std::vector<double> taps[4];
        for (int s = 0; s < 4; ++s)
            if (stageInUse(s))
                taps[s] = *listTaps(s + 1);
        finalizeLists();
        response = *built;
        // The other stage results are not needed beyond this trial.
        releaseSearchBuffers();
        if (chInverted(response))
            for (double& s : response)
                s = -s;

        if (!ops.determineEyeBcWcUpperLevels(response, SamplesPerBit, LogicLevel, &bc, &wc, msg))
            return false;
        storeFinalCache(taps, response, bc, wc);
    }
    // No response at all (zero best-case level) has no opening.
    if (!eyeRatio(bc, wc, &BestEyeRatio))
        BestEyeRatio = 0.0;
    if (SuppressMessages == 0 && AdaptStepRespIndex == 0) {
        if (BestEyeRatio <= 0.0)
            msg << "For the selected EQ states, the eye is closed.\n";
        else
            msg << "For the selected EQ states the open eye ratio = " << BestEyeRatio << "\n";
    }
    EqualizedResponse.swap(response);

    // Gain adaptation. A level that cannot be measured (a response with no
    // DC, Nyquist or eye level) leaves the gain as Setup set it.
    double adapted = Gain;
    switch (AdaptForChLoss) {
    case 1: {
        double sum = 0.0;
        for (double s : EqualizedResponse)
            sum += s;
        if (sum != 0.0)
            adapted = AGC_Level / sum;
        break;
    }
    case 2:
        adapted = AGC_Level * ops.impulseGainAtNyquist(BitRate, SamplesPerBit, EqualizedResponse);
        break;
    case 3:
        if (wc > 0.0)
            adapted = AGC_Level / (wc + bc);
        else if (bc != 0.0)
            adapted = AGC_Level / bc;
        break;
    default:
        break;
    }
    if (std::isfinite(adapted) && adapted != 0.0)
        Gain = adapted;
    Gain_dB = 20.0 * std::log10(std::fabs(Gain));

    if (SuppressMessages == 0) {
        switch (AdaptForChLoss) {
        case 1:
            msg << "To adapt channel+equalizer loss for " << AGC_Level << " level at 0 Hz, a gain of "
                << Gain_dB << " dB is added at the equalizer output.\n";
            break;
        case 2:
            msg << "To adapt channel+equalizer loss for " << AGC_Level << " level at Nyquist ( "
                << BitRate / 2 << " ) Hz, a gain of " << Gain_dB << " dB is added at the equalizer output.\n";
            break;
        case 3:
            msg << "To adapt channel+equalizer loss for peak to peak eye level ( " << AGC_Level
                << " ), a gain of " << Gain_dB << " dB is added at the equalizer output.\n";
            break;
        default:
            break;
        }
    }
    return true;
}

bool FIRwMultipleStepRespLists::prepareForRun(std::stringstream& msg)
{
    const int index[4] = {EQ1_StepRespIndex, EQ2_StepRespIndex, EQ3_StepRespIndex, EQ4_StepRespIndex};
    bool result = true;
    for (int n = 1; n <= 4 && result; ++n)
        if (n == 1 || NumStepResp(n) > 0)
            result = SetupEQ(n, index[n - 1], msg);
    for (int n = 1; n <= 4 && result; ++n)
        if (n == 1 || NumStepResp(n) > 0)
            result = InitializeEQ(n, msg);
    SampleCount = 0;
    return result;
}

bool FIRwMultipleStepRespLists::Initialize(std::stringstream& msg)
{
    SampleCount = 0;
    if (EQ1_NumStepResp == 0 && AdaptForChLoss == 0)
        return true;

    ImpulseOperations ops(UseFile);
    bool ok = true;
    if (EQ1_NumStepResp > 0 && AdaptStepRespIndex == 1) {
        if (AdaptStepRespIndexType == 1 && EQ2_NumStepResp > 0)
            ok = sequentialSearch(ops, msg);
        else
            ok = exhaustiveSearch(ops, msg);
        releaseSearchBuffers();
        if (!ok)
            return false;
    }
    if (SkipFinalEvaluation == 0 && !finalEvaluation(ops, msg))
        return false;
    return prepareForRun(msg);
}

void FIRwMultipleStepRespLists::Run(std::stringstream& msg)
{
    double x = Input;
    if (EQ1_NumStepResp <= 0) {
        EQ1_Output = EQ2_Output = EQ3_Output = EQ4_Output = x * Gain;
        ++SampleCount;
        return;
    }
    int last = 1;
    if (EQ2_NumStepResp > 0) {
        last = 2;
        if (EQ3_NumStepResp > 0) {
            last = 3;
            if (EQ4_NumStepResp > 0)
                last = 4;
        }
    }
    double* stage[4] = {&EQ1_Output, &EQ2_Output, &EQ3_Output, &EQ4_Output};
    for (int n = 1; n <= last; ++n) {
        FIRwStepRespList* list = EQList(n);
        list->Input = x;
        list->Run(msg);
        x = list->Output;
        *stage[n - 1] = (n == last) ? x * Gain : x;
    }
    for (int n = last + 1; n <= 4; ++n)
        *stage[n - 1] = *stage[n - 2];
    ++SampleCount;
}

void FIRwMultipleStepRespLists::RunBlock(const double* input, double* output, std::int64_t count,
                                         std::stringstream& msg)
{
    if (count <= 0)
        return;
    Input = input[count - 1];
    if (EQ1_NumStepResp <= 0) {
        for (std::int64_t k = 0; k < count; ++k)
            output[k] = input[k] * Gain;
        EQ1_Output = EQ2_Output = EQ3_Output = EQ4_Output = output[count - 1];
        SampleCount += count;
        return;
    }
    int last = 1;
    if (EQ2_NumStepResp > 0) {
        last = 2;
        if (EQ3_NumStepResp > 0) {
            last = 3;
            if (EQ4_NumStepResp > 0)
                last = 4;
        }
    }
    // Stage by stage over the whole block: every list is causal and keeps its
    // own state, so each sees the same inputs as in single steps.
    double* stage[4] = {&EQ1_Output, &EQ2_Output, &EQ3_Output, &EQ4_Output};
    const double* in = input;
    for (int n = 1; n <= last; ++n) {
        EQList(n)->RunBlock(in, output, count, msg);
        in = output;
        *stage[n - 1] = output[count - 1];
    }
    for (std::int64_t k = 0; k < count; ++k)
        output[k] = output[k] * Gain;
    *stage[last - 1] = output[count - 1];
    for (int n = last + 1; n <= 4; ++n)
        *stage[n - 1] = *stage[n - 2];
    SampleCount += count;
}

void FIRwMultipleStepRespLists::Finalize()
{
    finalizeLists();
    releaseSearchBuffers();
}

}  // namespace Veltramodels20200612
