#include "eq/RxLTI_StepResp_AMI.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "dsp/FFT.h"

namespace Veltramodels20200612 {

namespace {

// The spectra never use more than 2^22 frequency points (an FFT of 2^23). A
// requested frequency step finer than that, or an impulse longer than that,
// would only cost memory: a longer impulse is folded onto the transform
// length, which keeps its spectrum exact at the frequencies computed.
const int kMaxSpectrumPow2 = 22;
const int kMinSpectrumPoints = 4096;

// Drops trailing samples that are exactly 0, keeping at least one sample of
// a non-empty vector, and releases the spare capacity.
void trimTrailingZeros(std::vector<double>& v)
{
    size_t end = v.size();
    while (end > 1 && v[end - 1] == 0.0)
        --end;
    v.resize(end);
    v.shrink_to_fit();
}

bool allFinite(const std::vector<double>& v)
{
    for (double s : v)
        if (!std::isfinite(s))
            return false;
    return true;
}

}  // namespace

RxLTI_StepResp_AMI::RxLTI_StepResp_AMI()
    : Input(0.0),
      Output(0.0),
      BitRate(8e9),
      SamplesPerBit(32),
      TxDataLevelPtoP(1.0),
      FreqStep(0.0),
      FEType(0),
      InputGain(1.0),
      NumData1(0),
      StepResp_data_values1(nullptr),
      ColumnArrangement1(0),
      Data1Index(1),
      NumData2(0),
      StepResp_data_values2(nullptr),
      ColumnArrangement2(0),
      Data2Index(1),
      NumData3(0),
      StepResp_data_values3(nullptr),
      ColumnArrangement3(0),
      Data3Index(1),
      NumData4(0),
      StepResp_data_values4(nullptr),
      ColumnArrangement4(0),
      Data4Index(1),
      AdaptDataIndex(0),
      AdaptForOutputLevel(0),
      OutputLevel(1.0),
      Gain_dB(0.0),
      SectionTopology(0),
      AdaptSectionRatio(0),
      Section1Ratio(0.9),
      SkipOutputImpulse(0),
      SkipSpectrum(0),
      SuppressListMessages(0),
      SuppressMessages(0),
      SkipFinalEvaluation(0),
      BestEyeRatio(0.0),
      UseFile(nullptr),
      SampleRate(32 * 8e9),
      useFileHeaderWritten(false),
      runReady(false)
{
}

int RxLTI_StepResp_AMI::listIndex(int n) const
{
    switch (n) {
    case 1:
        return Data1Index;
    case 2:
        return Data2Index;
    case 3:
        return Data3Index;
    case 4:
        return Data4Index;
    default:
        return 1;
    }
}

bool RxLTI_StepResp_AMI::Setup(std::ofstream* useFile, std::stringstream& msg)
{
    if (!useFileHeaderWritten && useFile != nullptr && useFile->is_open()) {
        *useFile << "Veltramodels20200612::RxLTI_StepResp_AMI\n";
        useFile->flush();
        UseFile = useFile;
        useFileHeaderWritten = true;
    }
    runReady = false;

    bool ok = true;
    if (InputGain == 0.0) {
        msg << "ERROR:  Front end InputGain must not be zero.\n";
        ok = false;
    }
    // Settings checked against a small range are taken as unsigned, so a
    // negative value fails as well.
    if (static_cast<unsigned>(AdaptForOutputLevel) > 3u) {
        msg << "ERROR:  Front end AdaptForOutputLevel must be an integer in the range [0, 3].\n";
        ok = false;
    }
    if (static_cast<unsigned>(AdaptDataIndex) > 1u) {
        msg << "ERROR:  Front end AdaptDataIndex must be either 0 or 1.\n";
        ok = false;
    }
    if (!(TxDataLevelPtoP > 0.0)) {
        msg << "ERROR:  Front end TxDataLevelPtoP must be > 0.\n";
        ok = false;
    }
    if (static_cast<unsigned>(FEType) > 4u) {
        msg << "ERROR:  Front end FEType must be an integer in the range [0, 4].\n";
        ok = false;
    }
    if (FEType >= 1) {
        if (NumData1 < 0) {
            msg << "ERROR:  Front end NumData1 must be >= 0.\n";
            ok = false;
        }
        if (NumData1 > 0 && (Data1Index < 1 || Data1Index > NumData1)) {
            msg << "ERROR:  Front end Data1Index must be an integer in the range [1, " << NumData1 << "].\n";
            ok = false;
        }
    }
    const int* counts[3] = {&NumData2, &NumData3, &NumData4};
    const int indexes[3] = {Data2Index, Data3Index, Data4Index};
    for (int k = 0; k < 3; ++k) {
        const int n = k + 2;
        if (FEType >= n && (n < 4 || FEType == 4)) {
            if (*counts[k] <= 0) {
                msg << "ERROR:  Front end NumData" << n << " must be > 0.\n";
                ok = false;
            }
            if (indexes[k] < 1 || indexes[k] > *counts[k]) {
                msg << "ERROR:  Front end Data" << n << "Index must be an integer in the range [1, "
                    << *counts[k] << "].\n";
                ok = false;
            }
        }
    }
    // Lists beyond FEType are not in use.
    if (FEType <= 1)
        NumData2 = 0;
    if (FEType <= 2)
        NumData3 = 0;
    if (FEType <= 3)
        NumData4 = 0;

    if (static_cast<unsigned>(SectionTopology) > 1u) {
        msg << "ERROR:  SectionTopology must be 0 or 1.\n";
        ok = false;
    }
    if (SectionTopology == 1) {
        if (static_cast<unsigned>(AdaptSectionRatio) > 1u) {
            msg << "ERROR:  AdaptSectionRatio must be 0 or 1.\n";
            ok = false;
        }
        if (AdaptSectionRatio == 1) {
            if (Section1RatioList.empty()) {
                msg << "ERROR:  Section1RatioList must not be an empty list.\n";
                ok = false;
            } else {
                for (double r : Section1RatioList) {
                    if (!(r >= 0.0 && r <= 1.0)) {
                        msg << "ERROR:  Section1RatioList values must be in the range [0, 1].\n";
                        ok = false;
                        break;
                    }
                }
            }
        } else if (AdaptSectionRatio == 0 && !(Section1Ratio >= 0.0 && Section1Ratio <= 1.0)) {
            msg << "ERROR:  Section1Ratio must be a value in the range [0, 1].\n";
            ok = false;
        }
        if (!(NumData1 > 0 && NumData2 > 0)) {
            msg << "ERROR:  NumData1 and NumData2 must both be > 0.\n";
            return false;
        }
    }
    return ok;
}

bool RxLTI_StepResp_AMI::setupRxFE_Section(FIRwMultipleStepRespLists& cascade, int n, int count,
                                           std::vector<double>** table, std::stringstream&)
{
    const int index = (AdaptDataIndex > 0 || count == 1) ? 1 : listIndex(n);
    switch (n) {
    case 1:
        cascade.EQ1_NumStepResp = count;
        cascade.EQ1_StepResp_data_values = table;
        cascade.EQ1_ColumnArrangement = ColumnArrangement1;
        cascade.EQ1_StepRespIndex = index;
        return true;
    case 2:
        cascade.EQ2_NumStepResp = count;
        cascade.EQ2_StepResp_data_values = table;
        cascade.EQ2_ColumnArrangement = ColumnArrangement2;
        cascade.EQ2_StepRespIndex = index;
        return true;
    case 3:
        cascade.EQ3_NumStepResp = count;
        cascade.EQ3_StepResp_data_values = table;
        cascade.EQ3_ColumnArrangement = ColumnArrangement3;
        cascade.EQ3_StepRespIndex = index;
        return true;
    case 4:
        cascade.EQ4_NumStepResp = count;
        cascade.EQ4_StepResp_data_values = table;
        cascade.EQ4_ColumnArrangement = ColumnArrangement4;
        cascade.EQ4_StepRespIndex = index;
        return true;
    default:
        return false;
    }
}

bool RxLTI_StepResp_AMI::setupRxFE_Section(FIRwParallelStepRespLists& parallel, int n, int count,
                                           std::vector<double>** table, std::stringstream&)
{
    const int index = (AdaptDataIndex > 0 || count == 1) ? 1 : listIndex(n);
    switch (n) {
    case 1:
        parallel.EQ1_NumStepResp = count;
        parallel.EQ1_StepResp_data_values = table;
        parallel.EQ1_ColumnArrangement = ColumnArrangement1;
        parallel.EQ1_StepRespIndex = index;
        return true;
    case 2:
        parallel.EQ2_NumStepResp = count;
        parallel.EQ2_StepResp_data_values = table;
        parallel.EQ2_ColumnArrangement = ColumnArrangement2;
        parallel.EQ2_StepRespIndex = index;
        return true;
    default:
        return false;
    }
}

bool RxLTI_StepResp_AMI::Initialize(std::stringstream& msg)
{
    runReady = false;
    SampleRate = SamplesPerBit * BitRate;
    trimTrailingZeros(ChannelImpulse);
    OutputImpulse.clear();
    SectionImpulse.clear();
    OutputSpectrum.clear();
    SectionSpectrum.clear();
    Frequencies.clear();

    if (FEType == 0) {
        if (SuppressMessages == 0)
            msg << "\nFront end (FE) model with no equalization used.\n";
        OutputImpulse.resize(ChannelImpulse.size());
        for (size_t i = 0; i < ChannelImpulse.size(); ++i)
            OutputImpulse[i] = InputGain * ChannelImpulse[i];
        runReady = true;
    } else if (agcOnly()) {
        if (SuppressMessages == 0)
            msg << "\nFront end (FE) model with only AGC used.\n";
        const double scale = SampleRate * InputGain;
        for (double& s : ChannelImpulse)
            s *= scale;
        AGC.ChannelImpulse = &ChannelImpulse;
        AGC.BitRate = BitRate;
        AGC.SamplesPerBit = SamplesPerBit;
        AGC.AGC_Level = OutputLevel;
        AGC.AGC_Type = AdaptForOutputLevel;
        AGC.TxLogicLevel = TxDataLevelPtoP / 2;
        AGC.ScalarGain = InputGain;
        // An empty channel has no level to measure: the preset gain stays.
        if (!ChannelImpulse.empty() && (!AGC.Setup(UseFile, msg) || !AGC.Initialize(msg)))
            return false;
        for (double& s : ChannelImpulse)
            s /= SampleRate;
        OutputImpulse = ChannelImpulse;
        runReady = true;
    } else {
        bool done = false;
        if (!initializeLists(msg, &done))
            return false;
        if (done)
            return true;
        if (!buildOutputImpulse(msg))
            return false;
    }

    if (SkipOutputImpulse != 0 || SkipSpectrum != 0)
        return true;
    return buildSpectra(msg);
}

// Search (when on), final evaluation and gain of the lists, through the
// cascade or, for the parallel topology, the parallel section.
bool RxLTI_StepResp_AMI::initializeLists(std::stringstream& msg, bool* done)
{
    *done = false;
    if (SuppressMessages == 0)
        msg << "\nGenerating front end (FE) model based on step response data.\n";

    // The lists' channel: scaled to the sample rate and by InputGain, and
    // positive-going. An empty channel stays empty, so that the cascade
    // refuses it with its own message instead of equalising nothing.
    workingChannel.resize(ChannelImpulse.size());
    for (size_t i = 0; i < ChannelImpulse.size(); ++i)
        workingChannel[i] = ChannelImpulse[i] * SampleRate * InputGain;
    workingChannel.shrink_to_fit();
    if (Cascade.chInverted(workingChannel))
        for (double& s : workingChannel)
            s = -s;

    bool ok;
    if (parallelTopology()) {
        FIRwParallelStepRespLists& p = Parallel;
        p.ChannelImpulse = &workingChannel;
        p.BitRate = BitRate;
        p.SamplesPerBit = SamplesPerBit;
        p.AdaptForChLoss = AdaptForOutputLevel;
        p.Gain_dB = Gain_dB;
        p.LogicLevel = TxDataLevelPtoP / 2;
        p.AdaptStepRespIndex = AdaptDataIndex;
        p.InterpolationType = 2;
        p.RatioA1 = Section1Ratio;
        p.AdaptRatio = AdaptSectionRatio;
        p.RatioA1List = Section1RatioList;
        setupRxFE_Section(p, 1, NumData1, StepResp_data_values1, msg);
        setupRxFE_Section(p, 2, NumData2, StepResp_data_values2, msg);
        p.SuppressMessages = SuppressListMessages;
        ok = p.Setup(UseFile, msg) && p.Initialize(msg);
        if (ok) {
            Data1Index = p.EQ1_StepRespIndex;
            Data2Index = p.EQ2_StepRespIndex;
            Section1Ratio = p.RatioA1;
            BestEyeRatio = p.BestEyeRatio;
        }
    } else {
        FIRwMultipleStepRespLists& c = Cascade;
        c.ChannelImpulse = &workingChannel;
        c.BitRate = BitRate;
        c.SamplesPerBit = SamplesPerBit;
        c.AdaptForChLoss = AdaptForOutputLevel;
        c.Gain_dB = Gain_dB;
        c.LogicLevel = TxDataLevelPtoP / 2;
        c.AGC_Level = OutputLevel;
        c.AdaptStepRespIndex = AdaptDataIndex;
        c.AdaptStepRespIndexType = 1;
        c.InterpolationType = 2;
        // Lists left over from an earlier configuration are not in use.
        c.EQ2_NumStepResp = c.EQ3_NumStepResp = c.EQ4_NumStepResp = 0;
        setupRxFE_Section(c, 1, NumData1, StepResp_data_values1, msg);
        if (NumData2 > 0)
            setupRxFE_Section(c, 2, NumData2, StepResp_data_values2, msg);
        if (NumData3 > 0)
            setupRxFE_Section(c, 3, NumData3, StepResp_data_values3, msg);
        if (NumData4 > 0)
            setupRxFE_Section(c, 4, NumData4, StepResp_data_values4, msg);
        c.SuppressMessages = SuppressListMessages;
        c.SkipFinalEvaluation = SkipFinalEvaluation;
        ok = c.Setup(UseFile, msg) && c.Initialize(msg);
        if (ok) {
            int* section[4] = {&Data1Index, &Data2Index, &Data3Index, &Data4Index};
            const int chosen[4] = {c.EQ1_StepRespIndex, c.EQ2_StepRespIndex, c.EQ3_StepRespIndex,
                                   c.EQ4_StepRespIndex};
            for (int n = 1; n <= 4; ++n)
                if (c.NumStepResp(n) > 0)
                    *section[n - 1] = chosen[n - 1];
            BestEyeRatio = c.BestEyeRatio;
        }
    }
    if (!ok) {
        msg << "\nERROR:  Front end (FE) model generation failed.\n";
        return false;
    }
    runReady = true;
    if (SkipOutputImpulse != 0)
        *done = true;
    return true;
}

// The channel streamed through the chosen equaliser, then the equaliser
// rebuilt from the start so that Run begins from a clean state.
bool RxLTI_StepResp_AMI::buildOutputImpulse(std::stringstream& msg)
{
    const bool parallel = parallelTopology();
    // The response of the channel through the lists is as long as the
    // channel plus every list's taps in the cascade, or plus the longer
    // list's taps side by side; stopping after the last list's taps alone
    // would cut the response of a cascade short.
    size_t tail = 0;
    if (parallel) {
        tail = std::max(Parallel.EQ1.Taps().size(), Parallel.EQ2.Taps().size());
    } else {
        for (int n = 1; n <= 4; ++n)
            if (Cascade.NumStepResp(n) > 0)
                tail += Cascade.EQList(n)->Taps().size();
    }
    // Nothing in, nothing out: no sample has passed, so no rebuild is needed.
    if (ChannelImpulse.empty())
        return true;

    const size_t length = ChannelImpulse.size();
    const size_t n = length + tail;
    OutputImpulse.assign(n, 0.0);
    if (parallel) {
        for (size_t i = 0; i < n; ++i) {
            Parallel.Input = (i < length) ? ChannelImpulse[i] * InputGain : 0.0;
            Parallel.Run(msg);
            OutputImpulse[i] = Parallel.Output;
        }
        Parallel.Finalize();
    } else {
        // The same inputs as sample-by-sample Run calls, streamed as one
        // block: the same outputs, with the lists' sums interleaved.
        for (size_t i = 0; i < length; ++i)
            OutputImpulse[i] = ChannelImpulse[i] * InputGain;
        Cascade.RunBlock(OutputImpulse.data(), OutputImpulse.data(), static_cast<std::int64_t>(n), msg);
        Cascade.Finalize();
    }

    // Rebuild for Run with the chosen states; its messages are not wanted.
    std::stringstream scratch;
    bool ok;
    if (parallel) {
        Parallel.AdaptStepRespIndex = 0;
        Parallel.SuppressMessages = SuppressListMessages;
        ok = Parallel.Setup(UseFile, scratch) && Parallel.Initialize(scratch);
    } else {
        Cascade.AdaptStepRespIndex = 0;
        Cascade.SuppressMessages = SuppressListMessages;
        ok = Cascade.Setup(UseFile, scratch) && Cascade.Initialize(scratch);
    }
    if (!ok) {
        runReady = false;
        return false;
    }
    trimTrailingZeros(OutputImpulse);
    return true;
}

namespace {

// An exact power of two that brings the largest magnitude of v into [0.5, 1);
// 1 for a vector without any nonzero finite sample.
double powerOfTwoScale(const std::vector<double>& v)
{
    double peak = 0.0;
    for (double s : v)
        peak = std::max(peak, std::fabs(s));
    if (!(peak > 0.0) || !std::isfinite(peak))
        return 1.0;
    int e = 0;
    std::frexp(peak, &e);
    return std::ldexp(1.0, -e);
}

// v folded onto N samples (a plain zero-padding when it is not longer), as
// the real or the imaginary part of the work vector. Folding keeps the
// spectrum exact at the N frequencies computed.
void fold(const std::vector<double>& v, double scale, bool imaginary, std::vector<std::complex<double>>& work)
{
    const size_t N = work.size();
    for (size_t i = 0; i < v.size(); ++i) {
        const double x = v[i] * scale;
        work[i % N] += imaginary ? std::complex<double>(0.0, x) : std::complex<double>(x, 0.0);
    }
}

}  // namespace

// Spectrum of one impulse on N/2 bins: forward transform of N points scaled
// by 1/N.
void RxLTI_StepResp_AMI::spectrumOf(const std::vector<double>& impulse, std::size_t N, FFT& fft,
                                    std::vector<std::complex<double>>& out)
{
    std::vector<std::complex<double>> work(N, std::complex<double>(0.0, 0.0));
    fold(impulse, 1.0, false, work);
    fft.ComplexFFT(work, 1);
    out.assign(work.begin(), work.begin() + static_cast<std::ptrdiff_t>(N / 2));
}

// Spectra of two real impulses from one complex transform: x in the real
// and y in the imaginary part, separated by the symmetry of real signals,
//     X[k] = (Z[k] + conj Z[N-k]) / 2,   Y[k] = (Z[k] - conj Z[N-k]) / 2i.
// Each impulse is first scaled by an exact power of two to a peak of about
// 1, so that neither is lost in the other's rounding. The result equals that
// of two separate transforms up to rounding, at half the cost.
void RxLTI_StepResp_AMI::twoSpectra(const std::vector<double>& x, const std::vector<double>& y, std::size_t N,
                                    FFT& fft, std::vector<std::complex<double>>& outX,
                                    std::vector<std::complex<double>>& outY)
{
    // A sample that is not finite would spoil both halves: transform apart.
    if (!allFinite(x) || !allFinite(y)) {
        spectrumOf(x, N, fft, outX);
        spectrumOf(y, N, fft, outY);
        return;
    }
    const double sx = powerOfTwoScale(x), sy = powerOfTwoScale(y);
    std::vector<std::complex<double>> work(N, std::complex<double>(0.0, 0.0));
    fold(x, sx, false, work);
    fold(y, sy, true, work);
    fft.ComplexFFT(work, 1);
    const size_t K = N / 2;
    outX.resize(K);
    outY.resize(K);
    const double ux = 0.5 / sx, uy = 0.5 / sy;
    for (size_t k = 0; k < K; ++k) {
        const std::complex<double> a = work[k], b = std::conj(work[(N - k) % N]);
        const std::complex<double> sum = a + b, diff = a - b;
        outX[k] = std::complex<double>(sum.real() * ux, sum.imag() * ux);
        outY[k] = std::complex<double>(diff.imag() * uy, -diff.real() * uy);
    }
}

bool RxLTI_StepResp_AMI::buildSpectra(std::stringstream& msg)
{
    // Spectrum size K = 2^a points, at least 4096; the FFT has N = 2K points.
    int a = 0;
    if (FreqStep != 0.0) {
        const double q = std::floor(0.5 * SampleRate / FreqStep + 0.5) + 1.0;
        // A negative or non-finite step has no size of its own.
        if (q >= 1.0 && std::isfinite(q))
            a = static_cast<int>(std::min(std::floor(std::log2(q)), 62.0));
    } else {
        while (a < 62 && (std::uint64_t(1) << a) < OutputImpulse.size())
            ++a;
    }
    a = std::min(a, kMaxSpectrumPow2);
    size_t K = size_t(1) << a;
    if (K < static_cast<size_t>(kMinSpectrumPoints))
        K = kMinSpectrumPoints;
    const size_t N = 2 * K;

    FreqStep = 0.5 * SampleRate / static_cast<double>(K - 1);
    Frequencies.resize(K);
    for (size_t i = 0; i < K; ++i)
        Frequencies[i] = static_cast<double>(i) * FreqStep;

    FFT fft(UseFile);

    // The section's own response to a unit impulse, N samples of it. Once
    // every list has seen as many zeros as it has taps, its delay line holds
    // only zeros and, with finite taps, every later output is exactly 0; those
    // samples are not streamed.
    size_t streamed = N;
    if (FEType != 0 && !agcOnly()) {
        size_t flush = 1;
        bool finite = true;
        if (parallelTopology()) {
            flush += Parallel.EQ1.Taps().size() + Parallel.EQ2.Taps().size();
            finite = allFinite(Parallel.EQ1.Taps()) && allFinite(Parallel.EQ2.Taps()) &&
                     std::isfinite(Parallel.Gain);
        } else {
            for (int n = 1; n <= 4; ++n) {
                if (Cascade.NumStepResp(n) > 0) {
                    flush += Cascade.EQList(n)->Taps().size();
                    finite = finite && allFinite(Cascade.EQList(n)->Taps());
                }
            }
            finite = finite && std::isfinite(Cascade.Gain);
        }
        if (finite)
            streamed = std::min(N, flush);
    }
    SectionImpulse.assign(streamed, 0.0);
    for (size_t i = 0; i < streamed; ++i) {
        Input = (i == 0) ? 1.0 : 0.0;
        if (!Run(msg)) {
            // The output spectrum still comes first, with its messages.
            SectionImpulse.clear();
            spectrumOf(OutputImpulse, N, fft, OutputSpectrum);
            convertSpectrum(OutputSpectrum, Frequencies, msg);
            return false;
        }
        SectionImpulse[i] = Output;
    }
    trimTrailingZeros(SectionImpulse);

    twoSpectra(OutputImpulse, SectionImpulse, N, fft, OutputSpectrum, SectionSpectrum);
    const bool outputOk = convertSpectrum(OutputSpectrum, Frequencies, msg);
    const bool sectionOk = convertSpectrum(SectionSpectrum, Frequencies, msg);
    return outputOk && sectionOk;
}

bool RxLTI_StepResp_AMI::convertSpectrum(std::vector<std::complex<double>>& spectrum,
                                         const std::vector<double>& frequencies, std::stringstream& msg)
{
    const size_t M = spectrum.size();
    if (M == 0)
        return true;
    // The offset undoes the forward transform's 1/N scaling (N = 2M).
    const double offset = 20.0 * std::log10(2.0 * static_cast<double>(M));
    // Worked in place: first every point becomes (dB, phase), then the
    // phases are checked and unwrapped, each step taken between the phases
    // before unwrapping (the previous one is kept aside as it is replaced).
    for (size_t i = 0; i < M; ++i) {
        const double re = spectrum[i].real(), im = spectrum[i].imag();
        spectrum[i] = std::complex<double>(10.0 * std::log10(re * re + im * im + 1e-40) + offset,
                                           std::atan2(im, re) * 57.29577951308232);
    }
    // A DC value that is mostly imaginary is treated as zero.
    const double phase0 = spectrum[0].imag();
    if (phase0 > 45.0 && phase0 < 135.0)
        spectrum[0] = std::complex<double>(-400.0, 90.0);
    else if (phase0 > -135.0 && phase0 < -45.0)
        spectrum[0] = std::complex<double>(-400.0, -90.0);

    auto wrappedStep = [&](size_t i) {
        double d = spectrum[i].imag() - spectrum[i - 1].imag();
        if (d > 180.0)
            d -= 360.0;
        else if (d < -180.0)
            d += 360.0;
        return d;
    };
    // A step that one turn cannot bring into range leaves every phase as it
    // was computed.
    for (size_t i = 1; i < M; ++i) {
        const double d = wrappedStep(i);
        if (d < -180.0 || d > 180.0) {
            msg << "Input phase change data is not within [-180, 180] at frequency "
                << (i < frequencies.size() ? frequencies[i] : 0.0) << ".";
            return false;
        }
    }
    double previousRaw = spectrum[0].imag();
    double unwrapped = previousRaw;
    for (size_t i = 1; i < M; ++i) {
        const double raw = spectrum[i].imag();
        double d = raw - previousRaw;
        if (d > 180.0)
            d -= 360.0;
        else if (d < -180.0)
            d += 360.0;
        unwrapped = unwrapped + d;
        previousRaw = raw;
        spectrum[i] = std::complex<double>(spectrum[i].real(), unwrapped);
    }
    return true;
}

bool RxLTI_StepResp_AMI::Run(std::stringstream& msg)
{
    if (FEType == 0) {
        Output = Input;
        return true;
    }
    if (!runReady) {
        Output = 0.0;
        return false;
    }
    if (agcOnly()) {
        AGC.Input = Input;
        Output = AGC.Run();
    } else if (parallelTopology()) {
        Parallel.Input = Input;
        Parallel.Run(msg);
        Output = Parallel.Output;
    } else {
        Cascade.Input = Input;
        Cascade.Run(msg);
        Output = Cascade.FinalOutput();
    }
    return true;
}

void RxLTI_StepResp_AMI::Finalize()
{
    if (FEType != 0 && !agcOnly()) {
        if (parallelTopology())
            Parallel.Finalize();
        else
            Cascade.Finalize();
    }
    runReady = false;
}

}  // namespace Veltramodels20200612
