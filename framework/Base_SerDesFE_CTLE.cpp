#include "framework/Base_SerDesFE_CTLE.h"

#include <algorithm>
#include <cmath>

#include "framework/Base_SerDesFE_CTLE_Container.h"
#include "framework/Base_SerDesTxVPeak.h"
#include "framework/SpectrumDataToImpulse.h"
#include "pz/CTLE.h"
#include "pz/PZ_Data.h"

namespace Veltramodels20200612 {

namespace {

void clearStream(std::stringstream& s)
{
    s.str("");
    s.clear();
}

// Length in unit intervals, taken up to a whole number.
int spanUI(size_t samples, int samplesPerSymbol)
{
    if (samplesPerSymbol <= 0)
        return 0;
    return static_cast<int>(std::ceil(static_cast<double>(samples) / samplesPerSymbol) + 0.5);
}

}  // namespace

Base_SerDesFE_CTLE::Base_SerDesFE_CTLE()
    : ChannelSpanUI(0),
      ResponseSpanUI(0),
      FrontEnd(1),
      FEType(1),
      ModelType(0),
      Data1Index(1),
      Data2Index(1),
      Data3Index(1),
      Data4Index(1),
      AutoGainControl(0),
      AGC_Level(1.0),
      AdaptForChannel(0),
      OutputGain(1.0),
      NumData1(0),
      PeakingModel(0),
      vWidth(0.3),
      vWidthMode(0),
      FPeak(1.25e10),
      PZ_Data1(nullptr),
      ColumnArrangement1(0),
      Data1_Selected(nullptr),
      Data1(nullptr),
      Data1_Slow(nullptr),
      Data1_Fast(nullptr),
      NumData2(0),
      ColumnArrangement2(0),
      Data2_Selected(nullptr),
      Data2(nullptr),
      Data2_Slow(nullptr),
      Data2_Fast(nullptr),
      SectionTopology(0),
      AdaptSectionRatio(0),
      Section1Ratio(0.5),
      NumData3(0),
      ColumnArrangement3(0),
      Data3_Selected(nullptr),
      Data3(nullptr),
      Data3_Slow(nullptr),
      Data3_Fast(nullptr),
      NumData4(0),
      ColumnArrangement4(0),
      Data4_Selected(nullptr),
      Data4(nullptr),
      Data4_Slow(nullptr),
      Data4_Fast(nullptr),
      SkipSpectrum(0),
      SkipFinalEvaluation(0),
      LendImpulseIn(0),
      Container(new Base_SerDesFE_CTLE_Container[1]),
      lentTo(nullptr)
{
}

Base_SerDesFE_CTLE::~Base_SerDesFE_CTLE()
{
    delete[] Container;
    for (std::vector<double>* list : ownedLists)
        delete[] list;
}

bool Base_SerDesFE_CTLE::usesStepRespSection() const
{
    return !(FEType == 1 && (ModelType == 1 || ModelType == 2));
}

void Base_SerDesFE_CTLE::selectTable(std::vector<double>*& selected, std::vector<double>* typical,
                                     std::vector<double>* slow, std::vector<double>* fast)
{
    if (EnableCorners != 0 && CornerCase != 0) {
        if (EnableCorners == 1 && CornerCase == 1)
            selected = slow;
        else if (EnableCorners == 1 && CornerCase == 2)
            selected = fast;
    } else {
        selected = typical;
    }
}

bool Base_SerDesFE_CTLE::Setup()
{
    Container->DeleteBuffers();
    DeleteBuffers();

    if (!usesStepRespSection())
        return setupPoleZero();

    if (EnableCorners == 1 && FEType != 0 && !(FEType == 1 && ModelType == 0))
        displayCornerCase();

    RxLTI_StepResp_AMI& s = Container->StepResp_AMI;
    s.BitRate = SymbolRate;
    s.SamplesPerBit = SamplesPerSymbol;
    s.TxDataLevelPtoP = 1.0;
    s.FEType = FEType;
    s.FreqStep = ResBW;
    s.InputGain = OutputGain;
    s.AdaptDataIndex = ((FEType == 1 && ModelType == 0) || FEType == 0) ? 0 : AdaptForChannel;
    s.AdaptForOutputLevel = (FEType != 0 && AutoGainControl > 0) ? 3 : 0;
    s.OutputLevel = AGC_Level;
    s.Gain_dB = 0.0;
    s.NumData1 = NumData1;
    s.Data1Index = s.AdaptDataIndex == 1 ? 1 : Data1Index;
    // No table unless one is selected below.
    s.StepResp_data_values1 = nullptr;
    s.ColumnArrangement1 = ColumnArrangement1;

    bool ok = true;
    bool selectList1 = false;
    if (FEType == 1) {
        if (ModelType == 0) {
            s.NumData1 = 0;
            s.AdaptDataIndex = 0;
        } else if (ModelType == 4 && NumData1 >= 1) {
            msg << "Spectrum data must be converted to step response data before CTLE setup.\n";
            ok = false;
        } else if (ModelType == 3 && NumData1 >= 1) {
            selectList1 = true;
        }
    } else if (FEType >= 2 && NumData1 >= 1) {
        selectList1 = true;
    }
    if (selectList1) {
        selectTable(Data1_Selected, Data1, Data1_Slow, Data1_Fast);
        s.StepResp_data_values1 = &Data1_Selected;
    }

    // Lists 2 to 4, each in use up to FEType.
    for (int n = 2; n <= 4; ++n) {
        const ListFields<Base_SerDesFE_CTLE> from = listFields<Base_SerDesFE_CTLE>(n);
        const RxLTI_StepResp_AMI::ListFields& to = RxLTI_StepResp_AMI::listFields(n);
        if (FEType < n) {
            s.*to.NumData = 0;
            s.*to.DataIndex = 1;
            s.*to.Table = nullptr;
            continue;
        }
        s.*to.NumData = this->*from.NumData;
        s.*to.DataIndex = AdaptForChannel == 1 ? 1 : this->*from.DataIndex;
        selectTable(this->*from.Selected, this->*from.Typical, this->*from.Slow, this->*from.Fast);
        s.*to.Table = &(this->*from.Selected);
        s.*to.ColumnArrangement = this->*from.ColumnArrangement;
    }
    // The parallel topology.
    s.SectionTopology = 0;
    if (FEType == 2) {
        s.SectionTopology = SectionTopology;
        s.AdaptSectionRatio = AdaptForChannel == 0 ? 0 : AdaptSectionRatio;
        s.Section1RatioList = Section1RatioList;
        s.Section1Ratio = Section1Ratio;
    }

    s.SkipSpectrum = SkipSpectrum;
    s.SkipFinalEvaluation = SkipFinalEvaluation;

    if (!ok)
        return false;
    return s.Setup(nullptr, msg);
}

bool Base_SerDesFE_CTLE::Initialize()
{
    if (!usesStepRespSection())
        return initializePoleZero();
    RxLTI_StepResp_AMI& s = Container->StepResp_AMI;
    const std::size_t channelLength = handChannel(s.ChannelImpulse);
    std::stringstream scratch;
    if (!s.Initialize(scratch)) {
        if (scratch.str().size() > 2)
            msg << scratch.str();
        return false;
    }

    ChannelSpanUI = spanUI(channelLength, SamplesPerSymbol);
    ResponseSpanUI = ChannelSpanUI + spanUI(s.SectionImpulse.size(), SamplesPerSymbol);

    const bool fe = FrontEnd == 1;
    if (FEType == 0) {
        // No equaliser and no gain control: nothing was searched or adapted.
        msg << "\nFront end (FE) model with no equalization or AGC used.\n";
        return true;
    }
    if (FEType == 1 && ModelType == 0) {
        msg << (fe ? "Front end (FE) model with only AGC used.\n"
                   : "Back end (BE) model with only AGC used.\n");
        msg << "AGC scalar gain = " << s.AGC.ScalarGain << "\n";
        return true;
    }
    if (FEType == 1 && ModelType == 4)
        msg << (fe ? "Front end (FE) model based on spectrum data.\n"
                   : "Back end (BE) model based on spectrum data.\n");
    else
        msg << (fe ? "Front end (FE) model based on step response data.\n"
                   : "Back end (BE) model based on step response data.\n");

    // Lists in use: 1 .. FEType.
    const int counts[4] = {NumData1, FEType >= 2 ? NumData2 : 0, FEType >= 3 ? NumData3 : 0,
                           FEType >= 4 ? NumData4 : 0};
    if (AdaptForChannel == 1) {
        int* indexes[4] = {&Data1Index, &Data2Index, &Data3Index, &Data4Index};
        const int chosen[4] = {s.Data1Index, s.Data2Index, s.Data3Index, s.Data4Index};
        for (int n = 0; n < 4; ++n)
            if (n == 0 || counts[n] > 0)
                *indexes[n] = chosen[n];
        if (FEType == 2)
            Section1Ratio = s.Section1Ratio;

        long long total = NumData1;
        for (int n = 1; n < 4; ++n)
            if (counts[n] >= 1)
                total *= counts[n];
        msg << "Optimization of EQ over count = " << total << " states resulting in ";
        if (s.BestEyeRatio > 0.0)
            msg << "max open eye ratio = " << s.BestEyeRatio << " with optimized states:\n";
        else
            msg << "closed eye with optimized states:\n";
        msg << "Data1Index = " << Data1Index << "\n";
        for (int n = 1; n < 4; ++n)
            if (counts[n] > 0)
                msg << "Data" << n + 1 << "Index = " << *indexes[n] << "\n";
    } else if (FEType > 1 || ModelType > 2) {
        if (s.BestEyeRatio <= 0.0)
            msg << "For the selected EQ states, the eye is closed.\n";
        else
            msg << "For the selected EQ states the open eye ratio = " << s.BestEyeRatio << "\n";
    }
    if (AutoGainControl == 1) {
        const double gainDB = (FEType == 2 && SectionTopology == 1) ? s.Parallel.Gain_dB : s.Cascade.Gain_dB;
        msg << "To adapt channel+equalizer loss for peak to peak eye level ( " << AGC_Level
            << " ), a gain of " << gainDB << " dB is added at the equalizer output.\n";
    }
    return true;
}

bool Base_SerDesFE_CTLE::Run()
{
    if (usesStepRespSection()) {
        const RxLTI_StepResp_AMI& s = Container->StepResp_AMI;
        setupLTI_Outputs(s.OutputImpulse, s.SectionImpulse, s.OutputSpectrum, s.SectionSpectrum,
                         s.Frequencies);
    } else {
        const RxLTI_PZ_AMI& p = Container->PZ_AMI;
        setupLTI_Outputs(p.OutputImpulse, p.SectionImpulse, p.OutputSpectrum, p.SectionSpectrum,
                         p.Frequencies);
    }
    return true;
}

std::size_t Base_SerDesFE_CTLE::handChannel(std::vector<double>& channel)
{
    const std::size_t length = ImpulseIn.size();
    if (LendImpulseIn == 0 || lentTo != nullptr) {
        // Also when the samples are still out on loan (Initialize again
        // without Finalize): ImpulseIn then holds what the caller put there
        // since, which the section gets as a copy.
        channel = ImpulseIn;
        return length;
    }
    channel.swap(ImpulseIn);
    ImpulseIn.clear();
    lentTo = &channel;
    return length;
}

bool Base_SerDesFE_CTLE::Finalize()
{
    if (lentTo != nullptr) {
        ImpulseIn.swap(*lentTo);
        lentTo = nullptr;
    }
    clearStream(msg);
    if (usesStepRespSection())
        Container->StepResp_AMI.Finalize();
    else
        Container->PZ_AMI.Finalize();
    DeleteBuffers();
    return true;
}

void Base_SerDesFE_CTLE::DeleteBuffers()
{
    // Lists made by setupSpecResp_Data1 are not released here: the caller's
    // back end keeps them in its corner slots for every later cycle, so they
    // live until the model is destroyed.
    Container->DeleteBuffers();
}

bool Base_SerDesFE_CTLE::setupSpecResp_Data1()
{
    const std::vector<double>* spectra = Data1_Selected;
    if (spectra == nullptr || NumData1 < 1) {
        msg << "Spectrum data list must hold NumData1 > 0 states.\n";
        return false;
    }
    const bool all = AdaptForChannel == 1;
    if (!all && (Data1Index < 1 || Data1Index > NumData1)) {
        msg << "Data1Index must be an integer in the range [1, " << NumData1 << "].\n";
        return false;
    }
    const double sampleRate = SamplesPerSymbol * SymbolRate;

    std::vector<std::vector<double>> steps(NumData1);
    const int first = all ? 1 : Data1Index;
    const int last = all ? NumData1 : Data1Index;
    for (int k = first; k <= last; ++k) {
        SpectrumDataToImpulse conv;
        conv.Frequency = spectra[0];
        conv.RealPart = spectra[2 * k - 1];
        conv.ImagPart = spectra[2 * k];
        conv.SampleRate = sampleRate;
        conv.FFT_Exponent = 17;
        conv.SpectrumScale = 1.0;
        conv.InterpolationType = 1;
        conv.TaperFraction = 0.05;
        conv.ExtrapolationType = 2;
        conv.EnforceCausality = 1;
        conv.ZeroHzCorrection = 1;
        conv.AcausalFractionLog2 = 2;
        std::stringstream convMsg;
        if (!conv.Setup(nullptr, convMsg) || !conv.Initialize(convMsg) || !conv.Run(convMsg)) {
            msg << convMsg.str();
            return false;
        }
        std::vector<double>& imp = conv.Impulse;
        // A response that goes mainly negative is turned over.
        size_t peak = 0;
        for (size_t i = 1; i < imp.size(); ++i)
            if (std::fabs(imp[i]) > std::fabs(imp[peak]))
                peak = i;
        if (!imp.empty() && imp[peak] < 0.0)
            for (double& v : imp)
                v = -v;
        std::vector<double>& step = steps[k - 1];
        step.resize(imp.size());
        double sum = 0.0;
        for (size_t i = 0; i < imp.size(); ++i) {
            sum += imp[i];
            step[i] = sum;
        }
    }
    if (!all)
        for (int k = 1; k <= NumData1; ++k)
            if (k != Data1Index)
                steps[k - 1] = steps[Data1Index - 1];

    size_t length = 1;
    for (const auto& st : steps)
        length = std::max(length, st.size());
    std::vector<double>* list = new std::vector<double>[NumData1 + 1];
    list[0].resize(length);
    for (size_t i = 0; i < length; ++i)
        list[0][i] = static_cast<double>(i) / sampleRate;
    for (int k = 1; k <= NumData1; ++k) {
        std::vector<double>& v = list[k];
        v = std::move(steps[k - 1]);
        const double tail = v.empty() ? 0.0 : v.back();
        v.resize(length, tail);
    }
    ownedLists.push_back(list);
    Data1_Selected = list;
    return true;
}

bool Base_SerDesFE_CTLE::GetModelImpulse(double threshold, std::vector<double>& impulse)
{
    clearStream(msg);
    if (impulse.empty()) {
        msg << "GetModelImpulse failed due to zero rxImpulse array.\n";
        return false;
    }
    const bool stepResp = usesStepRespSection();
    RxLTI_StepResp_AMI& s = Container->StepResp_AMI;
    RxLTI_PZ_AMI& p = Container->PZ_AMI;
    for (size_t i = 0; i < impulse.size(); ++i) {
        const double in = i == 0 ? 1.0 : 0.0;
        if (stepResp) {
            s.Input = in;
            if (!s.Run(msg))
                return false;
            impulse[i] = s.Output;
        } else {
            p.Input = in;
            if (!p.Run(msg))
                return false;
            impulse[i] = p.Output;
        }
    }
    double h = 0.0;
    for (double v : impulse)
        h = std::max(h, std::fabs(v));
    size_t keep = 1;
    for (size_t i = impulse.size(); i-- > 0;) {
        if (std::fabs(impulse[i]) > h * threshold) {
            keep = i + 1;
            break;
        }
    }
    impulse.resize(keep);
    return true;
}

bool Base_SerDesFE_CTLE::buildPeakingRecords(PZ_Data* records)
{
    constexpr double kTwoPiGHz = 2.0 * 3.14159265358979323846 * 1e9;
    if (PeakingModel == 0) {
        if (dBPeakList.size() < static_cast<size_t>(NumData1)) {
            msg << "dBPeakList array size must equal NumData1 ( " << NumData1 << " ).\n";
            return false;
        }
        for (int i = 0; i < NumData1; ++i) {
            CTLE designer;
            designer.BitRate = SymbolRate;
            designer.SamplesPerBit = SamplesPerSymbol;
            designer.DataType = 1;
            designer.FPeak = FPeak;
            designer.dB_Peak = dBPeakList[i];
            // The designer's notes on each design are wanted only when it fails.
            std::stringstream notes;
            if (!designer.Setup(nullptr, notes)) {
                msg << notes.str() << "\nERROR:  Generating peaking filter poles and zero failed.\n";
                return false;
            }
            records[i].gain = 1.0;
            records[i].poles = {kTwoPiGHz * designer.P1, kTwoPiGHz * designer.P2};
            records[i].zeros = {kTwoPiGHz * designer.Z};
        }
        return true;
    }
    if (PeakingModel != 1) {
        msg << "PeakingModel must be either 0 or 1.\n";
        return false;
    }
    if (vPeakList.size() != static_cast<size_t>(NumData1)) {
        msg << "vPeakList array size must equal NumData1 ( " << NumData1 << " ).\n";
        return false;
    }
    bool ok = true;
    if (AdaptForChannel == 0) {
        for (double& v : vPeakList)
            if (v >= 0.0 && v < 0.005)
                v = 0.0;
        for (double v : vPeakList) {
            if (!(v >= 0.0 && v <= 0.65)) {
                msg << "vPeakList data members must be a value in the range [0, 0.65].\n";
                ok = false;
                break;
            }
        }
    }
    if (AdaptForChannel != 1 && !(vWidth >= 0.02 && vWidth <= 0.4)) {
        msg << "vWidth must be a value in the range [0.02, 0.4].\n";
        ok = false;
    }
    if (static_cast<unsigned int>(vWidthMode) > 1u) {
        msg << "vWidthMode must be an integer in the range [0, 1].\n";
        ok = false;
    }
    if (!ok)
        return false;
    if (AdaptForChannel == 0 && SamplesPerSymbol > 0) {
        const double limit = static_cast<int>(std::ceil(200.0 / SamplesPerSymbol) + 0.5) / 100.0;
        if (vWidth < limit) {
            msg << "vWidth is set less than " << limit
                << " which is the lower limit allowed for SamplesPerSymbol = " << SamplesPerSymbol
                << " and will be set to this lower limit.\n";
            vWidth = limit;
        }
    }
    // One designer serves every state; it designs in Hz.
    constexpr double kTwoPi = 2.0 * 3.14159265358979323846;
    Base_SerDesTxVPeak designer;
    designer.SymbolRate = SymbolRate;
    designer.SamplesPerSymbol = SamplesPerSymbol;
    designer.vWidth = vWidth;
    designer.vWidthMode = vWidthMode;
    for (int i = 0; i < NumData1; ++i) {
        designer.Finalize();
        designer.vPeak = vPeakList[i];
        // As for the CTLE designs: the designer's notes go out only on failure.
        std::stringstream notes;
        if (!designer.Setup(nullptr, notes)) {
            msg << notes.str() << "\nERROR:  Generating peaking filter poles and zero failed.\n";
            return false;
        }
        records[i].gain = 1.0;
        records[i].poles = {kTwoPi * designer.P1, kTwoPi * designer.P2};
        records[i].zeros = {kTwoPi * designer.Z};
    }
    return true;
}

bool Base_SerDesFE_CTLE::setupPoleZero()
{
    RxLTI_PZ_AMI& p = Container->PZ_AMI;
    p.BitRate = SymbolRate;
    p.SamplesPerBit = SamplesPerSymbol;
    p.FEType = 1;
    p.FreqStep = ResBW;
    p.InputGain = OutputGain;
    p.AdaptDataIndex = AdaptForChannel;
    p.AdaptForOutputLevel = AutoGainControl > 0 ? 3 : 0;
    p.TxDataLevelPtoP = 1.0;
    p.OutputLevel = AGC_Level;
    p.Gain_dB = 0.0;
    p.NumData1 = NumData1;
    p.NumData2 = p.NumData3 = p.NumData4 = 0;
    p.PZ_data_values1 = nullptr;
    if (AdaptForChannel == 1)
        Data1Index = 1;

    if (NumData1 > 0) {
        PZ_Data* records = new PZ_Data[NumData1];
        Container->PZ_Records = records;
        if (ModelType == 2) {
            if (PZ_Data1 == nullptr) {
                msg << "PZ_Data1 array must not be empty.\n";
                return false;
            }
            if (G_Data1.size() < static_cast<size_t>(NumData1)) {
                msg << "G_Data1 array size must equal " << NumData1 << ".\n";
                return false;
            }
            // Zeros have positive, poles negative real parts; the records
            // hold magnitudes, and a complex root stands for its pair.
            for (int i = 0; i < NumData1; ++i) {
                records[i].gain = G_Data1[i];
                for (const std::complex<double>& z : PZ_Data1[i]) {
                    const double re = z.real(), im = z.imag();
                    if (im == 0.0 && re > 0.0)
                        records[i].zeros.push_back(re);
                    else if (im == 0.0 && re < 0.0)
                        records[i].poles.push_back(-re);
                    else if (im > 0.0 && re > 0.0)
                        records[i].czeros.push_back(z);
                    else if (im > 0.0 && re < 0.0)
                        records[i].cpoles.push_back(std::complex<double>(-re, im));
                }
            }
        } else if (!buildPeakingRecords(records)) {
            return false;
        }
        p.PZ_data_values1 = records;
    }
    p.Data1Index = Data1Index;
    return true;
}

bool Base_SerDesFE_CTLE::initializePoleZero()
{
    RxLTI_PZ_AMI& p = Container->PZ_AMI;
    const std::size_t channelLength = handChannel(p.ChannelImpulse);
    p.SkipSpectrum = SkipSpectrum;
    p.SkipFinalEvaluation = SkipFinalEvaluation;
    std::stringstream scratch;
    if (!p.Setup(nullptr, scratch) || !p.Initialize(scratch)) {
        if (scratch.str().size() > 2)
            msg << scratch.str();
        return false;
    }
    ChannelSpanUI = spanUI(channelLength, SamplesPerSymbol);
    ResponseSpanUI = ChannelSpanUI + spanUI(p.SectionImpulse.size(), SamplesPerSymbol);

    const bool fe = FrontEnd == 1;
    if (ModelType == 1)
        msg << (fe ? "Front end (FE) model based on list of peaking data.\n"
                   : "Back end (BE) model based on list of peaking data.\n");
    else
        msg << (fe ? "Front end (FE) model based on set of poles and zeros data.\n"
                   : "Back end (BE) model based on set of poles and zeros data.\n");
    if (AdaptForChannel == 1) {
        Data1Index = p.Data1Index;
        msg << "Optimization of EQ over count = " << NumData1 << " states resulting in ";
        if (p.BestEyeRatio > 0.0)
            msg << "max open eye ratio = " << p.BestEyeRatio << " with optimized states:\n";
        else
            msg << "closed eye with optimized states:\n";
        msg << "Data1Index = " << Data1Index << "\n";
    }
    if (AutoGainControl == 1)
        msg << "To adapt channel+equalizer loss for peak to peak eye level ( " << AGC_Level
            << " ), a gain of " << p.Cascade.Gain_dB << " dB is added at the equalizer output.\n";
    return true;
}

}  // namespace Veltramodels20200612
