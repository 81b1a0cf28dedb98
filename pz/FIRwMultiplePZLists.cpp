#include "pz/FIRwMultiplePZLists.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dsp/FFT.h"
#include "dsp/ImpulseOperations.h"

namespace Veltramodels20200612 {

namespace {

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

std::int64_t firstNonzero(const std::vector<double>& v)
{
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i] != 0.0)
            return static_cast<std::int64_t>(i);
    return -1;
}

std::int64_t lastNonzero(const std::vector<double>& v)
{
    for (size_t i = v.size(); i-- > 0;)
        if (v[i] != 0.0)
            return static_cast<std::int64_t>(i);
    return -1;
}

}  // namespace

FIRwMultiplePZLists::FIRwMultiplePZLists()
    : Input(0.0),
      EQ1_Output(0.0),
      EQ2_Output(0.0),
      EQ3_Output(0.0),
      EQ4_Output(0.0),
      ChannelImpulse(nullptr),
      BitRate(28e9),
      SamplesPerBit(32),
      EQ1_DataIndex(1),
      EQ2_DataIndex(0),
      EQ3_DataIndex(0),
      EQ4_DataIndex(0),
      AdaptForChLoss(0),
      Gain_dB(0.0),
      LogicLevel(0.5),
      AGC_Level(1.0),
      AdaptDataIndex(0),
      AdaptDataIndexType(1),
      EQ1_NumData(0),
      EQ2_NumData(0),
      EQ3_NumData(0),
      EQ4_NumData(0),
      EQ1_Data_data_values(nullptr),
      EQ2_Data_data_values(nullptr),
      EQ3_Data_data_values(nullptr),
      EQ4_Data_data_values(nullptr),
      Gain(1.0),
      SuppressMessages(0),
      CycleCount(0),
      StateCount(0),
      BestEyeRatio(-1e40),
      SkipFinalEvaluation(0),
      UseFile(nullptr),
      ListChannel(1, 1.0),
      SampleCount(0),
      stageIndex_{0, 0, 0, 0},
      stageValid_(0),
      stageFFT_(-1)
{
}

FIRwPZList* FIRwMultiplePZLists::EQList(int n)
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

int FIRwMultiplePZLists::NumData(int n) const
{
    switch (n) {
    case 1:
        return EQ1_NumData;
    case 2:
        return EQ2_NumData;
    case 3:
        return EQ3_NumData;
    case 4:
        return EQ4_NumData;
    default:
        return 0;
    }
}

bool FIRwMultiplePZLists::stageInUse(int s) const
{
    return s == 0 || NumData(s + 1) >= 1;
}

bool FIRwMultiplePZLists::Setup(std::ofstream* useFile, std::stringstream& msg)
{
    if (UseFile == nullptr && useFile != nullptr && useFile->is_open()) {
        UseFile = useFile;
        *UseFile << "Veltramodels20200612"
                 << "::"
                 << "FIRwMultiplePZLists"
                 << "\n";
        UseFile->flush();
    }
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

    const int N1 = EQ1_NumData, N2 = EQ2_NumData, N3 = EQ3_NumData, N4 = EQ4_NumData;
    if (N4 < 0) {
        msg << "EQ4_NumData must be an integer >= 0.\n";
        ok = false;
    }
    if (N4 > 0) {
        if (N3 <= 0) {
            msg << "EQ3_NumData must be an integer >= 1.\n";
            ok = false;
            if (N2 < 0)
                msg << "EQ2_NumData must be an integer >= 0.\n";
        } else if (N2 <= 0) {
            msg << "EQ2_NumData must be an integer >= 1.\n";
            ok = false;
        }
    } else {
        if (N3 < 0) {
            msg << "EQ3_NumData must be an integer >= 0.\n";
            ok = false;
        }
        if (N2 < 0) {
            msg << "EQ2_NumData must be an integer >= 0.\n";
            ok = false;
        } else if (N2 == 0 && N3 > 0) {
            // EQ3 would be fed from EQ2, which is not in use.
            msg << "EQ2_NumData must be an integer >= 1.\n";
            ok = false;
        }
    }
    if (N1 < 0) {
        msg << "EQ1_NumData must be an integer >= 0.\n";
        ok = false;
    } else if (N1 == 0 && N2 > 0) {
        // Without EQ1 the section is a pure gain and would never use EQ2.
        msg << "EQ1_NumData must be an integer >= 1.\n";
        ok = false;
    }

    if (AdaptDataIndex == 0) {
        if (N1 >= 1 && (EQ1_DataIndex < 1 || EQ1_DataIndex > N1)) {
            msg << "EQ1_DataIndex must be an integer in the range [1, " << N1 << "].\n";
            ok = false;
        } else if (ok) {
            const int counts[3] = {N2, N3, N4};
            const int indexes[3] = {EQ2_DataIndex, EQ3_DataIndex, EQ4_DataIndex};
            for (int k = 0; k < 3; ++k) {
                if (counts[k] >= 1 && (indexes[k] < 1 || indexes[k] > counts[k])) {
                    msg << "EQ" << (k + 2) << "_DataIndex must be an integer in the range [1, " << counts[k]
                        << "].\n";
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
    if (static_cast<unsigned>(AdaptDataIndex) > 1u) {
        msg << "AdaptDataIndex must be an integer either 0 or 1.\n";
        ok = false;
    }
    const bool eq1Missing = EQ1_Data_data_values == nullptr;
    if (eq1Missing)
        msg << "EQ1_Data_data_values vector size must be > 0.\n";
    if (static_cast<unsigned>(AdaptDataIndexType) > 1u) {
        msg << "AdaptDataIndexType must be either 0 or 1.\n";
        return false;
    }
    if (eq1Missing || !ok)
        return false;

    PZImpulse* arrays[3] = {EQ2_Data_data_values, EQ3_Data_data_values, EQ4_Data_data_values};
    const int counts[3] = {N2, N3, N4};
    for (int k = 0; k < 3; ++k) {
        if (counts[k] >= 1 && arrays[k] == nullptr) {
            msg << "EQ" << (k + 2) << "_Data_data_values vector size must be > 0.\n";
            return false;
        }
    }

    // The trimmed channel: trailing exact zeros dropped, at most one leading
    // zero kept, in gain per sample.
    const std::vector<double>& ch = *ChannelImpulse;
    const std::int64_t lastNz = lastNonzero(ch);
    const std::int64_t firstNz = firstNonzero(ch);
    const size_t last = lastNz < 0 ? 0 : static_cast<size_t>(lastNz);
    const size_t first = (firstNz <= 0) ? 0 : static_cast<size_t>(firstNz - 1);
    const double divisor = SamplesPerBit * BitRate;
    ScaledChannel.resize(last - first + 1);
    for (size_t j = 0; first + j <= last; ++j)
        ScaledChannel[j] = ch[first + j] / divisor;
    ScaledChannel.shrink_to_fit();

    ListChannel.assign(1, 1.0);
    Gain = std::pow(10.0, Gain_dB / 20.0);
    return true;
}

bool FIRwMultiplePZLists::SetupEQ(int n, int index, std::stringstream& msg)
{
    FIRwPZList* list = EQList(n);
    if (list == nullptr)
        return false;
    PZImpulse* arrays[4] = {EQ1_Data_data_values, EQ2_Data_data_values, EQ3_Data_data_values,
                            EQ4_Data_data_values};
    list->DataIndex = index;
    list->NumData = NumData(n);
    list->PZ_data = arrays[n - 1];
    list->ChannelImpulse = &ListChannel;
    list->BitRate = BitRate;
    list->SamplesPerBit = SamplesPerBit;
    list->SuppressMessages = 1;
    list->AdaptDataIndex = 0;
    // The cascade does the choosing and the gain; the list only holds taps.
    list->AdaptForChLoss = 0;
    list->Gain_dB = 0.0;
    if (n == 1 && EQ1_NumData == 0)
        return true;
    return list->Setup(UseFile, msg);
}

bool FIRwMultiplePZLists::InitializeEQ(int n, std::stringstream& msg)
{
    FIRwPZList* list = EQList(n);
    if (list == nullptr)
        return false;
    if (n == 1 && EQ1_NumData <= 0)
        return true;
    return list->Initialize(msg);
}

void FIRwMultiplePZLists::Setup_chImp(std::vector<double>& v)
{
    v = ScaledChannel;
}

const std::vector<double>* FIRwMultiplePZLists::listTaps(int n)
{
    if (n == 1 && EQ1_NumData <= 0)
        return &unityTap();
    FIRwPZList* list = EQList(n);
    return list == nullptr ? nullptr : &list->ImpulseResponse;
}

// v convolved with the taps x, as a FIR whose taps are v streams x followed
// by zeros: L = |v| + |x| outputs are kept from the first one that is not
// exactly 0 (later ones past the convolution are zeros). The direct form
// sums only the terms whose factors can both be nonzero.
bool FIRwMultiplePZLists::convolveEQ(int n, int enableFFT, std::vector<double>& v, std::stringstream&)
{
    const std::vector<double>* taps = listTaps(n);
    if (taps == nullptr || taps->empty() || v.empty() || static_cast<unsigned>(enableFFT) > 1u)
        return false;
    if (enableFFT == 1) {
        convolveFFT(n, *taps, v);
        return true;
    }
    const std::vector<double>& x = *taps;
    const std::vector<double> c(v);
    const std::int64_t L = static_cast<std::int64_t>(c.size() + x.size());
    const std::int64_t cFirst = firstNonzero(c), cLast = lastNonzero(c);
    const std::int64_t xFirst = firstNonzero(x), xLast = lastNonzero(x);
    std::vector<double> out;
    if (cFirst >= 0 && xFirst >= 0) {
        bool started = false;
        const std::int64_t tEnd = cLast + xLast + 1;
        for (std::int64_t t = cFirst + xFirst; t < tEnd && static_cast<std::int64_t>(out.size()) < L; ++t) {
            const std::int64_t lo = std::max<std::int64_t>(cFirst, t - xLast);
            const std::int64_t hi = std::min<std::int64_t>(t - xFirst, cLast);
            double sum = 0.0;
            for (std::int64_t i = lo; i <= hi; ++i)
                sum += c[static_cast<size_t>(i)] * x[static_cast<size_t>(t - i)];
            if (!started) {
                if (sum == 0.0)
                    continue;
                started = true;
            }
            out.push_back(sum);
        }
        if (started) {
            const std::int64_t firstWritten = tEnd - static_cast<std::int64_t>(out.size());
            const std::int64_t room = std::min<std::int64_t>(L, 2 * L - firstWritten);
            if (static_cast<std::int64_t>(out.size()) < room)
                out.resize(static_cast<size_t>(room), 0.0);
        }
    }
    if (out.empty())
        out.assign(1, 0.0);
    v.swap(out);
    return true;
}

// The same convolution by one FFT long enough for the whole linear
// convolution. The spectrum of a stage's input is kept, so an input
// convolved with every state of a list is transformed once. The output
// starts at the first index where both factors can be nonzero.
void FIRwMultiplePZLists::convolveFFT(int n, const std::vector<double>& x, std::vector<double>& v)
{
    const std::int64_t L = static_cast<std::int64_t>(v.size() + x.size());
    const std::int64_t cFirst = firstNonzero(v), cLast = lastNonzero(v);
    const std::int64_t xFirst = firstNonzero(x), xLast = lastNonzero(x);
    if (cFirst < 0 || xFirst < 0) {
        v.assign(1, 0.0);
        return;
    }
    const std::int64_t need = cLast + xLast + 1;
    std::int64_t N = 2;
    while (N < need)
        N *= 2;

    SpectrumCache& cache = spectrumCache_[n - 1];
    FFT fft(UseFile);
    if (!(sameSamples(cache.source, v) && static_cast<std::int64_t>(cache.spectrum.size()) == N)) {
        cache.source = v;
        cache.spectrum.assign(static_cast<size_t>(N), std::complex<double>(0.0, 0.0));
        for (std::int64_t i = 0; i <= cLast; ++i)
            cache.spectrum[static_cast<size_t>(i)] = v[static_cast<size_t>(i)];
        fft.ComplexFFT(cache.spectrum, 1);
    }
    std::vector<std::complex<double>> work(static_cast<size_t>(N), std::complex<double>(0.0, 0.0));
    for (std::int64_t j = 0; j <= xLast; ++j)
        work[static_cast<size_t>(j)] = x[static_cast<size_t>(j)];
    fft.ComplexFFT(work, 1);
    const double scale = static_cast<double>(N);
    for (std::int64_t k = 0; k < N; ++k)
        work[static_cast<size_t>(k)] *= cache.spectrum[static_cast<size_t>(k)] * scale;
    fft.ComplexFFT(work, 0);

    const std::int64_t f = cFirst + xFirst;
    const std::int64_t count = std::min<std::int64_t>(L, 2 * L - f);
    v.assign(static_cast<size_t>(std::max<std::int64_t>(count, 1)), 0.0);
    const std::int64_t stop = std::min<std::int64_t>(count, need - f);
    for (std::int64_t k = 0; k < stop; ++k)
        v[static_cast<size_t>(k)] = work[static_cast<size_t>(f + k)].real();
}

void FIRwMultiplePZLists::truncateEQ(std::vector<double>& v)
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

bool FIRwMultiplePZLists::chInverted(const std::vector<double>& v) const
{
    double largest = 0.0, value = 0.0;
    for (double s : v) {
        if (std::fabs(s) > largest) {
            largest = std::fabs(s);
            value = s;
        }
    }
    return value < 0.0;
}

int FIRwMultiplePZLists::buildTrial(const int index[4], int enableFFT, bool reuse, std::stringstream& msg,
                                    std::vector<double>& response)
{
    if (!reuse || stageFFT_ != enableFFT)
        stageValid_ = 0;
    stageFFT_ = enableFFT;
    int keep = 0;
    while (keep < stageValid_ && (!stageInUse(keep) || index[keep] == stageIndex_[keep]))
        ++keep;
    stageValid_ = keep;

    int lastUsed = 0;
    for (int s = 0; s < 4; ++s) {
        if (!stageInUse(s)) {
            stageIndex_[s] = index[s];
            if (s >= stageValid_)
                stageValid_ = s + 1;
            continue;
        }
        if (s >= keep) {
            std::vector<double>& r = stageResponse_[s];
            if (s == 0)
                Setup_chImp(r);
            else
                r = stageResponse_[lastUsed];
            const int n = s + 1;
            if (!SetupEQ(n, index[s], msg) || !InitializeEQ(n, msg) || !convolveEQ(n, enableFFT, r, msg)) {
                stageValid_ = s;
                return n;
            }
            truncateEQ(r);
            stageIndex_[s] = index[s];
            stageValid_ = s + 1;
        }
        lastUsed = s;
    }
    response = stageResponse_[lastUsed];
    return 0;
}

void FIRwMultiplePZLists::releaseSearchBuffers()
{
    for (int s = 0; s < 4; ++s) {
        std::vector<double>().swap(spectrumCache_[s].source);
        std::vector<std::complex<double>>().swap(spectrumCache_[s].spectrum);
        std::vector<double>().swap(stageResponse_[s]);
    }
    stageValid_ = 0;
    stageFFT_ = -1;
}

void FIRwMultiplePZLists::finalizeLists()
{
    EQ1.Finalize();
    EQ2.Finalize();
    EQ3.Finalize();
    EQ4.Finalize();
}

void FIRwMultiplePZLists::writeIndexLine(const int index[4], std::stringstream& msg) const
{
    msg << "EQ1_DataIndex = " << index[0];
    if (EQ2_NumData > 0)
        msg << ",  EQ2_DataIndex = " << index[1];
    if (EQ3_NumData > 0)
        msg << ",  EQ3_DataIndex = " << index[2];
    if (EQ4_NumData > 0)
        msg << ",  EQ4_DataIndex = " << index[3];
    msg << "\n";
}

bool FIRwMultiplePZLists::sequentialSearch(ImpulseOperations& ops, std::stringstream& msg)
{
    const int counts[4] = {EQ1_NumData, EQ2_NumData, EQ3_NumData, EQ4_NumData};
    int index[4] = {1, 1, 1, 1};
    int previous[4] = {1, 1, 1, 1};
    EQ1_DataIndex = EQ2_DataIndex = EQ3_DataIndex = EQ4_DataIndex = 1;
    BestEyeRatio = -1e40;
    CycleCount = 0;
    const int positions = counts[0] + counts[1] + counts[2] + counts[3];
    std::vector<double> response;
    for (;;) {
        for (int p = 0; p < positions; ++p) {
            int list = 0;
            int state = p;
            while (state >= counts[list])
                state -= counts[list++];
            int candidate[4] = {index[0], index[1], index[2], index[3]};
            candidate[list] = state + 1;
            double bc = 0.0, wc = 0.0;
            if (buildTrial(candidate, 1, true, msg, response) != 0 ||
                !ops.determineEyeBcWcUpperLevels(response, SamplesPerBit, LogicLevel, &bc, &wc, msg)) {
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
                EQ1_DataIndex = index[0];
                EQ2_DataIndex = index[1];
                EQ3_DataIndex = index[2];
                EQ4_DataIndex = index[3];
            }
        }
        ++CycleCount;
        // A cycle that changes an index strictly raises the best ratio over a
        // finite set of combinations, so this ends.
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
            msg << "Optimization of EQ with " << CycleCount
                << " cycles resulted in max open eye ratio = " << BestEyeRatio << " with optimized states\n";
        writeIndexLine(index, msg);
    }
    return true;
}

bool FIRwMultiplePZLists::exhaustiveSearch(ImpulseOperations& ops, std::stringstream& msg)
{
    EQ1_DataIndex = EQ2_DataIndex = EQ3_DataIndex = EQ4_DataIndex = 1;
    StateCount = 0;
    CycleCount = 1;
    double best = -1e40;
    const int n2 = std::max(EQ2_NumData, 1);
    const int n3 = std::max(EQ3_NumData, 1);
    const int n4 = std::max(EQ4_NumData, 1);
    std::vector<double> response;
    for (int i1 = 1; i1 <= EQ1_NumData; ++i1) {
        for (int i2 = 1; i2 <= n2; ++i2) {
            for (int i3 = 1; i3 <= n3; ++i3) {
                for (int i4 = 1; i4 <= n4; ++i4) {
                    const int candidate[4] = {i1, i2, i3, i4};
                    if (buildTrial(candidate, 1, true, msg, response) != 0) {
                        msg << "Failed during EQ settings optimization.\n";
                        msg << "Failed to optimize EQ settings.\n";
                        finalizeLists();
                        return false;
                    }
                    ++StateCount;
                    finalizeLists();
                    if (chInverted(response))
                        for (double& s : response)
                            s = -s;
                    double bc = 0.0, wc = 0.0;
                    if (!ops.determineEyeBcWcUpperLevels(response, SamplesPerBit, LogicLevel, &bc, &wc,
                                                         msg)) {
                        msg << "Failed during EQ optimization.\n";
                        msg << "Failed to optimize EQ settings.\n";
                        return false;
                    }
                    double ratio = 0.0;
                    if (eyeRatio(bc, wc, &ratio) && ratio > best) {
                        best = ratio;
                        EQ1_DataIndex = i1;
                        EQ2_DataIndex = i2;
                        EQ3_DataIndex = i3;
                        EQ4_DataIndex = i4;
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
        const int index[4] = {EQ1_DataIndex, EQ2_DataIndex, EQ3_DataIndex, EQ4_DataIndex};
        writeIndexLine(index, msg);
    }
    return true;
}

bool FIRwMultiplePZLists::finalEvaluation(ImpulseOperations& ops, std::stringstream& msg)
{
    const int index[4] = {EQ1_DataIndex, EQ2_DataIndex, EQ3_DataIndex, EQ4_DataIndex};
    std::vector<double> response;
    const int failed = buildTrial(index, 0, false, msg, response);
    releaseSearchBuffers();
    if (failed != 0) {
        msg << "Failed setting EQ" << failed << ".\n";
        return false;
    }
    finalizeLists();
    if (chInverted(response))
        for (double& s : response)
            s = -s;
    double bc = 0.0, wc = 0.0;
    if (!ops.determineEyeBcWcUpperLevels(response, SamplesPerBit, LogicLevel, &bc, &wc, msg))
        return false;
    if (!eyeRatio(bc, wc, &BestEyeRatio))
        BestEyeRatio = 0.0;
    if (SuppressMessages == 0 && AdaptDataIndex == 0) {
        if (BestEyeRatio <= 0.0)
            msg << "For the selected EQ states, the eye is closed.\n";
        else
            msg << "For the selected EQ states, the open eye ratio = " << BestEyeRatio << "\n";
    }
    EqualizedResponse.swap(response);

    // A level that cannot be measured (no DC, Nyquist or eye level) leaves
    // the gain as Setup set it.
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

bool FIRwMultiplePZLists::prepareForRun(std::stringstream& msg)
{
    const int index[4] = {EQ1_DataIndex, EQ2_DataIndex, EQ3_DataIndex, EQ4_DataIndex};
    bool result = true;
    for (int n = 1; n <= 4 && result; ++n)
        if (n == 1 || NumData(n) > 0)
            result = SetupEQ(n, index[n - 1], msg);
    for (int n = 1; n <= 4 && result; ++n)
        if (n == 1 || NumData(n) > 0)
            result = InitializeEQ(n, msg);
    SampleCount = 0;
    return result;
}

bool FIRwMultiplePZLists::Initialize(std::stringstream& msg)
{
    SampleCount = 0;
    if (EQ1_NumData == 0 && AdaptForChLoss == 0)
        return true;
    ImpulseOperations ops(UseFile);
    if (EQ1_NumData > 0 && AdaptDataIndex == 1) {
        bool ok;
        if (AdaptDataIndexType == 1 && EQ2_NumData > 0)
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

void FIRwMultiplePZLists::Run(std::stringstream& msg)
{
    double x = Input;
    if (EQ1_NumData <= 0) {
        EQ1_Output = EQ2_Output = EQ3_Output = EQ4_Output = x * Gain;
        ++SampleCount;
        return;
    }
    int last = 1;
    if (EQ2_NumData > 0) {
        last = 2;
        if (EQ3_NumData > 0) {
            last = 3;
            if (EQ4_NumData > 0)
                last = 4;
        }
    }
    double* stage[4] = {&EQ1_Output, &EQ2_Output, &EQ3_Output, &EQ4_Output};
    for (int n = 1; n <= last; ++n) {
        FIRwPZList* list = EQList(n);
        list->Input = x;
        list->Run(msg);
        x = list->Output;
        *stage[n - 1] = (n == last) ? x * Gain : x;
    }
    for (int n = last + 1; n <= 4; ++n)
        *stage[n - 1] = *stage[n - 2];
    ++SampleCount;
}

void FIRwMultiplePZLists::Finalize()
{
    finalizeLists();
    releaseSearchBuffers();
}

void FIRwMultiplePZLists::DeleteBuffers() {}

void FIRwMultiplePZLists::Restart()
{
    for (int n = 1; n <= 4; ++n) {
        if (NumData(n) <= 0)
            continue;
        FIRwPZList* list = EQList(n);
        if (list->ImpulseResponse.empty())
            continue;
        list->Filter.Initialize();
        list->SampleCount = 0;
    }
    SampleCount = 0;
}

}  // namespace Veltramodels20200612
