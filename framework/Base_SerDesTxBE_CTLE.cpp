#include "framework/Base_SerDesTxBE_CTLE.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "dsp/SetupChecks.h"
#include "pz/ReadPZFile.h"

namespace Veltramodels20200612 {

namespace {

// Resolves a negative setting to its default; where the default is negative
// too, both become 0.
void resolveDefault(int& value, int& defaultValue)
{
    if (value < 0) {
        if (defaultValue < 0)
            defaultValue = 0;
        value = defaultValue;
    }
}

// Counts a pole/zero point as the front end builds its records from it: a
// real root once, a complex root with positive imaginary part twice (its
// conjugate is implied); a point below the real axis is not used.
int rootCount(const std::complex<double>& p)
{
    if (p.imag() == 0.0)
        return 1;
    return p.imag() > 0.0 ? 2 : 0;
}

}  // namespace

Base_SerDesTxBE_CTLE::Base_SerDesTxBE_CTLE()
    : FEType(1),
      ModelType(-1),
      DefaultModelType(-1),
      Data1Index(1),
      Data2Index(1),
      Data3Index(1),
      Data4Index(1),
      AutoGainControl(0),
      AGC_Level(1.0),
      AdaptForChannel(-1),
      DefaultAdaptForChannel(-1),
      EnableCorners(0),
      CornerCase(0),
      OutputGain(1.0),
      NumData1(0),
      PeakingModel(-1),
      DefaultPeakingModel(-1),
      TxBE_vWidth(0.3),
      TxBE_vWidthMode(0),
      FPeak(1.25e10),
      PZ_Data1(nullptr),
      ColumnArrangement1(0),
      Data1_Selected(nullptr),
      Data1(nullptr),
      Data1_Slow(nullptr),
      Data1_Fast(nullptr),
      PZ_Data1Text(nullptr),
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
      pzCount(0)
{
    FrontEnd = 0;
}

Base_SerDesTxBE_CTLE::~Base_SerDesTxBE_CTLE()
{
    freePZ_Data1();
}

void Base_SerDesTxBE_CTLE::freePZ_Data1()
{
    delete[] PZ_Data1;
    PZ_Data1 = nullptr;
    pzCount = 0;
    // The front end only borrows the array.
    Base_SerDesFE_CTLE::PZ_Data1 = nullptr;
}

bool Base_SerDesTxBE_CTLE::buildPZ_Data1()
{
    PZ_Data* sets = nullptr;
    const bool ok = Get_PZ_Data(ModelBuilderDirName, PZ_Data1Text, NumData1, &sets, msg);
    if (ok && sets != nullptr && NumData1 > 0) {
        freePZ_Data1();
        G_Data1.resize(NumData1);
        size_t longest = 0;
        for (int i = 0; i < NumData1; ++i) {
            const PZ_Data& s = sets[i];
            G_Data1[i] = s.gain;
            const size_t n = s.zeros.size() + s.poles.size() + s.czeros.size() + s.cpoles.size();
            if (n > longest)
                longest = n;
        }
        PZ_Data1 = new std::vector<std::complex<double>>[NumData1];
        pzCount = NumData1;
        for (int i = 0; i < NumData1; ++i) {
            const PZ_Data& s = sets[i];
            std::vector<std::complex<double>>& v = PZ_Data1[i];
            v.assign(longest, std::complex<double>(0.0, 0.0));
            size_t k = 0;
            for (double z : s.zeros)
                v[k++] = std::complex<double>(z, 0.0);
            for (double p : s.poles)
                v[k++] = std::complex<double>(-p, 0.0);
            for (const auto& z : s.czeros)
                v[k++] = z;
            for (const auto& p : s.cpoles)
                v[k++] = std::complex<double>(-p.real(), p.imag());
        }
    }
    delete[] sets;
    return ok;
}

bool Base_SerDesTxBE_CTLE::setupModelSpecificParameters()
{
    SetupChecks check(msg);
    if (!setupCoreParameters())
        check.fail();

    // 1. Defaults.
    resolveDefault(ModelType, DefaultModelType);
    resolveDefault(AdaptForChannel, DefaultAdaptForChannel);
    resolveDefault(PeakingModel, DefaultPeakingModel);

    // 2. Kind.
    check.fault(FEType < 1 || FEType > 4, "FEType must be an integer in the range [1, 4].\n");
    check.fault(FEType == 1 && static_cast<unsigned int>(ModelType) > 4u,
                "ModelType must be an integer in the range [1, 4].\n");

    // 3. Gain. A gain that is not a number, or infinite, would hand the
    // simulator samples it cannot use; it gets its own line rather than the
    // zero one.
    if (!check.fault(!std::isfinite(OutputGain), "OutputGain must be a finite number.\n"))
        check.fault(!(std::fabs(OutputGain) > DBL_MIN), "OutputGain must not be zero.\n");

    // 4. Pole/zero sets from the pole/zero file.
    if (FEType == 1 && ModelType == 2 && ModelBuilderDirName != nullptr && PZ_Data1Text != nullptr)
        buildPZ_Data1();

    // 5. Gain control.
    check.fault(static_cast<unsigned int>(AutoGainControl) > 1u, "AutoGainControl must be either 0 or 1.\n");
    check.fault(AutoGainControl == 1 && !(AGC_Level > DBL_MIN), "AGC_Level must be > 0.\n");

    // 6. List 1 and the search switch.
    if ((FEType == 1 && ModelType > 0) || FEType > 1) {
        check.fault(static_cast<unsigned int>(AdaptForChannel) > 1u,
                    "AdaptForChannel must be either 0 or 1.\n");
        check.fault(NumData1 < 0, "NumData1 must be > 0.\n");
        if (check.fault(AdaptForChannel == 0 && (Data1Index < 1 || Data1Index > NumData1)))
            msg << "Data1Index must be an integer in the range [1, " << NumData1 << "].\n";
    }

    // 7. Step-response tables.
    if ((FEType == 1 && ModelType == 3) || FEType > 1) {
        check.fault(static_cast<unsigned int>(ColumnArrangement1) > 1u,
                    "ColumnArrangement1 must be either 0 or 1.\n");
        check.fault(static_cast<unsigned int>(EnableCorners) > 1u, "EnableCorners must be either 0 or 1.\n");
        check.fault(EnableCorners == 1 && static_cast<unsigned int>(CornerCase) > 2u,
                    "CornerCase must be either 0, 1 or 2.\n");
    }

    // 8.-11. The kinds' own lists.
    if (FEType == 1 && ModelType == 1)
        checkPeakingList(check);
    if (FEType == 1 && ModelType == 2)
        checkPoleZeroSets(check);
    if (FEType == 2)
        checkParallelSections(check);
    checkLists2To4(check);

    CoreParametersChecked = true;
    return check.ok();
}

// 8. Peaking list: CTLE peakings in dB, or transmitter peakings with a width.
void Base_SerDesTxBE_CTLE::checkPeakingList(SetupChecks& check)
{
    if (PeakingModel == 0) {
        check.fault(SymbolRate / 4.0 > FPeak, "FPeak must be > SymbolRate/4.0.\n");
        check.fault(dBPeakList.empty(), "dBPeakList must have at least 1 value.\n");
        for (size_t i = 0; i < dBPeakList.size(); ++i) {
            if (check.fault(!(dBPeakList[i] >= 0.5 && dBPeakList[i] <= 50.0))) {
                msg << "dBPeakList[" << i << "] value must be in the range [0.5, 50].\n";
                break;
            }
        }
        return;
    }
    if (check.fault(PeakingModel != 1, "PeakingModel must be either 0 or 1.\n"))
        return;
    if (check.fault(NumData1 < 0 || TxBE_vPeakList.size() != static_cast<size_t>(NumData1))) {
        msg << "TxBE_vPeakList array size must equal TxBE_NumData1 ( " << NumData1 << " ).\n";
        return;
    }
    bool peakingOk = true;
    if (AdaptForChannel == 0) {
        for (double& v : TxBE_vPeakList)
            if (v >= 0.0 && v < 0.005)
                v = 0.0;
        const bool outOfRange = std::any_of(TxBE_vPeakList.begin(), TxBE_vPeakList.end(),
                                            [](double v) { return !(v >= 0.0 && v <= 0.65); });
        if (check.fault(outOfRange, "TxBE_vPeakList data members must be a value in the range [0, 0.65].\n"))
            peakingOk = false;
    }
    if (check.fault(AdaptForChannel != 1 && !(TxBE_vWidth >= 0.02 && TxBE_vWidth <= 0.4),
                    "TxBE_vWidth must be a value in the range [0.02, 0.4].\n"))
        peakingOk = false;
    if (check.fault(static_cast<unsigned int>(TxBE_vWidthMode) > 1u,
                    "TxBE_vWidthMode must be an integer in the range [0, 1].\n"))
        peakingOk = false;
    if (peakingOk && AdaptForChannel == 0 && SamplesPerSymbol > 0) {
        const double limit = static_cast<int>(std::ceil(200.0 / SamplesPerSymbol) + 0.5) / 100.0;
        if (TxBE_vWidth < limit) {
            msg << "TxBE_vWidth is set less than " << limit
                << " which is the lower limit allowed for SamplesPerSymbol = " << SamplesPerSymbol
                << " and will be set to this lower limit.\n";
            TxBE_vWidth = limit;
        }
    }
}

// 9. Pole/zero sets: one gain per set, sets of equal size, and in each more
// poles (negative real parts) than zeros (positive real parts), so that its
// response falls off at high frequencies.
void Base_SerDesTxBE_CTLE::checkPoleZeroSets(SetupChecks& check)
{
    if (check.fault(NumData1 < 0 || G_Data1.size() != static_cast<size_t>(NumData1)))
        msg << "G_Data1 array size must equal " << NumData1 << ".\n";
    if (check.fault(PZ_Data1 == nullptr, "PZ_Data1 array must not be empty.\n"))
        return;
    // Only the sets this object built (or NumData1 of a caller's array) exist.
    const int sets = pzCount > 0 ? pzCount : NumData1;
    bool sizesOk = true;
    for (int i = 1; i < sets; ++i) {
        if (check.fault(PZ_Data1[i].size() != PZ_Data1[0].size())) {
            msg << "PZ_Data1[" << i << "] array size must equal " << PZ_Data1[0].size() << ".\n";
            sizesOk = false;
        }
    }
    if (!sizesOk)
        return;
    for (int i = 0; i < sets; ++i) {
        int zeros = 0;
        int poles = 0;
        for (const auto& p : PZ_Data1[i]) {
            if (p.real() > 0.0)
                zeros += rootCount(p);
            else if (p.real() < 0.0)
                poles += rootCount(p);
        }
        if (check.fault(poles <= zeros)) {
            msg << "Number of poles must be greater then number of zeros in PZ_Data1[" << i << "].\n";
            break;
        }
    }
}

// 10. Parallel sections.
void Base_SerDesTxBE_CTLE::checkParallelSections(SetupChecks& check)
{
    check.fault(static_cast<unsigned int>(SectionTopology) > 1u, "SectionTopology must be either 0 or 1.\n");
    if (SectionTopology != 1)
        return;
    check.fault(static_cast<unsigned int>(AdaptSectionRatio) > 1u,
                "AdaptSectionRatio must be either 0 or 1.\n");
    if (AdaptSectionRatio == 1) {
        check.fault(Section1RatioList.empty(), "Section1RatioList must have at least one member.\n");
        const bool outOfRange = std::any_of(Section1RatioList.begin(), Section1RatioList.end(),
                                            [](double r) { return !(r >= 0.0 && r <= 1.0); });
        check.fault(outOfRange, "Section1RatioList values must be in the range [0, 1].\n");
    } else if (AdaptSectionRatio == 0) {
        check.fault(!(Section1Ratio >= 0.0 && Section1Ratio <= 1.0),
                    "Section1Ratio must be a value in the range [0, 1].\n");
    }
    check.fault(NumData1 < 1 || NumData2 < 1, "NumData1 and NumData2 must both be > 0.\n");
}

// 11. Lists 2-4: list 4 belongs to FEType 4 only, lists 2 and 3 to every
// larger type.
void Base_SerDesTxBE_CTLE::checkLists2To4(SetupChecks& check)
{
    struct ListCheck {
        int count;
        int index;
        int arrangement;
        int number;
    };
    const ListCheck lists[3] = {{NumData2, Data2Index, ColumnArrangement2, 2},
                                {NumData3, Data3Index, ColumnArrangement3, 3},
                                {NumData4, Data4Index, ColumnArrangement4, 4}};
    for (const ListCheck& l : lists) {
        if (FEType < l.number || (l.number == 4 && FEType != 4))
            break;
        if (check.fault(l.count < 0))
            msg << "NumData" << l.number << " must be > 0.\n";
        if (check.fault(AdaptForChannel == 0 && (l.index < 1 || l.index > l.count)))
            msg << "Data" << l.number << "Index must be an integer in the range [1, " << l.count << "].\n";
        if (check.fault(static_cast<unsigned int>(l.arrangement) > 1u))
            msg << "ColumnArrangement" << l.number << " must be either 0 or 1.\n";
    }
}

bool Base_SerDesTxBE_CTLE::convertSpectrumData()
{
    Base_SerDesFE_CTLE& fe = *this;
    fe.Base_SerDesFE_CTLE::NumData1 = NumData1;
    // The conversion covers every state only when a search will need them.
    fe.Base_SerDesFE_CTLE::AdaptForChannel = AdaptForChannel;
    fe.Base_SerDesFE_CTLE::Data1Index = Data1Index;

    // The corner in use, as the core's corner settings stand now.
    std::vector<double>** slot = &Data1;
    if (Base_SerDes_CoreParameters::EnableCorners != 0) {
        if (Base_SerDes_CoreParameters::CornerCase == 1)
            slot = &Data1_Slow;
        else if (Base_SerDes_CoreParameters::CornerCase == 2)
            slot = &Data1_Fast;
    }
    fe.Base_SerDesFE_CTLE::Data1_Selected = *slot;
    const bool ok = setupSpecResp_Data1();
    // On failure the slot no longer offers the spectra as if they were steps.
    *slot = ok ? fe.Base_SerDesFE_CTLE::Data1_Selected : nullptr;
    ModelType = 3;
    ColumnArrangement1 = 1;
    return ok;
}

void Base_SerDesTxBE_CTLE::copyToFrontEnd()
{
    Base_SerDesFE_CTLE& fe = *this;
    fe.Base_SerDesFE_CTLE::FEType = FEType;
    fe.Base_SerDesFE_CTLE::ModelType = ModelType;
    fe.Base_SerDesFE_CTLE::AGC_Level = AGC_Level;
    fe.Base_SerDesFE_CTLE::OutputGain = OutputGain;
    fe.Base_SerDesFE_CTLE::vWidth = TxBE_vWidth;
    fe.Base_SerDesFE_CTLE::AutoGainControl = AutoGainControl;
    fe.Base_SerDesFE_CTLE::AdaptForChannel = AdaptForChannel;
    fe.Base_SerDesFE_CTLE::PeakingModel = PeakingModel;
    fe.Base_SerDesFE_CTLE::vWidthMode = TxBE_vWidthMode;
    fe.Base_SerDesFE_CTLE::vPeakList = TxBE_vPeakList;
    fe.Base_SerDesFE_CTLE::FPeak = FPeak;
    fe.Base_SerDesFE_CTLE::dBPeakList = dBPeakList;
    fe.Base_SerDesFE_CTLE::PZ_Data1 = PZ_Data1;
    fe.Base_SerDesFE_CTLE::G_Data1 = G_Data1;
    for (int n = 1; n <= 4; ++n) {
        const ListFields<Base_SerDesTxBE_CTLE> from = listFields<Base_SerDesTxBE_CTLE>(n);
        const ListFields<Base_SerDesFE_CTLE> to = listFields<Base_SerDesFE_CTLE>(n);
        fe.*to.NumData = this->*from.NumData;
        fe.*to.DataIndex = this->*from.DataIndex;
        fe.*to.ColumnArrangement = this->*from.ColumnArrangement;
        fe.*to.Selected = this->*from.Selected;
        fe.*to.Typical = this->*from.Typical;
        fe.*to.Slow = this->*from.Slow;
        fe.*to.Fast = this->*from.Fast;
    }
    fe.Base_SerDesFE_CTLE::SectionTopology = SectionTopology;
    fe.Base_SerDesFE_CTLE::AdaptSectionRatio = AdaptSectionRatio;
    fe.Base_SerDesFE_CTLE::Section1RatioList = Section1RatioList;
    fe.Base_SerDesFE_CTLE::Section1Ratio = Section1Ratio;
    Base_SerDes_CoreParameters::EnableCorners = EnableCorners;
    Base_SerDes_CoreParameters::CornerCase = CornerCase;
}

void Base_SerDesTxBE_CTLE::copyIndexesBack()
{
    for (int n = 1; n <= 4; ++n)
        this->*listFields<Base_SerDesTxBE_CTLE>(n).DataIndex =
            this->*listFields<Base_SerDesFE_CTLE>(n).DataIndex;
}

bool Base_SerDesTxBE_CTLE::Setup()
{
    if (!CoreParametersChecked) {
        if (!setupCoreParameters())
            return false;
        if (!setupModelSpecificParameters())
            return false;
    }
    // Pole/zero sets released by an explicit DeleteBuffers are read again.
    if (FEType == 1 && ModelType == 2 && PZ_Data1 == nullptr && ModelBuilderDirName != nullptr &&
        PZ_Data1Text != nullptr)
        buildPZ_Data1();
    if (FEType == 1 && ModelType == 4) {
        if (!convertSpectrumData())
            return false;
    }
    copyToFrontEnd();
    const bool ok = Base_SerDesFE_CTLE::Setup();
    copyIndexesBack();
    return ok;
}

bool Base_SerDesTxBE_CTLE::Initialize()
{
    const bool ok = Base_SerDesFE_CTLE::Initialize();
    copyIndexesBack();
    return ok;
}

bool Base_SerDesTxBE_CTLE::Run()
{
    return Base_SerDesFE_CTLE::Run();
}

bool Base_SerDesTxBE_CTLE::Finalize()
{
    msg.str("");
    msg.clear();
    const bool ok = Base_SerDesFE_CTLE::Finalize();
    // The front end's buffers go; the pole/zero sets stay for the next cycle,
    // since the checks that build them run only once per model.
    Base_SerDesFE_CTLE::DeleteBuffers();
    return ok;
}

void Base_SerDesTxBE_CTLE::DeleteBuffers()
{
    Base_SerDesFE_CTLE::DeleteBuffers();
    freePZ_Data1();
}

}  // namespace Veltramodels20200612
