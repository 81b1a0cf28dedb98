#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include "framework/Base_SerDesFE_CTLE_Container.h"
#include "framework/Base_SerDesTxBE_CTLE.h"
#include "tests/framework/FrameworkTestData.h"

using namespace Veltramodels20200612;
using namespace fwtest;

namespace {

constexpr double kPi = 3.14159265358979323846;

// A back end as the driver fills it: step-response kind, 16 states.
void stepRespModel(Base_SerDesTxBE_CTLE& be)
{
    be.DefaultModelType = 3;
    be.NumData1 = 16;
    be.ColumnArrangement1 = 1;
    be.AdaptForChannel = 0;
    be.Data1Index = 8;
}

std::string check(Base_SerDesTxBE_CTLE& be, bool expectOk)
{
    EXPECT_EQ(be.setupModelSpecificParameters(), expectOk);
    EXPECT_TRUE(be.CoreParametersChecked);
    return be.msg.str();
}

TEST(BackEnd, ConstructorDefaults)
{
    Base_SerDesTxBE_CTLE be;
    EXPECT_EQ(be.FrontEnd, 0);
    EXPECT_EQ(be.FEType, 1);
    EXPECT_EQ(be.ModelType, -1);
    EXPECT_EQ(be.DefaultModelType, -1);
    EXPECT_EQ(be.Data1Index, 1);
    EXPECT_EQ(be.Data2Index, 1);
    EXPECT_EQ(be.Data3Index, 1);
    EXPECT_EQ(be.Data4Index, 1);
    EXPECT_EQ(be.AutoGainControl, 0);
    EXPECT_EQ(be.AGC_Level, 1.0);
    EXPECT_EQ(be.AdaptForChannel, -1);
    EXPECT_EQ(be.DefaultAdaptForChannel, -1);
    EXPECT_EQ(be.EnableCorners, 0);
    EXPECT_EQ(be.CornerCase, 0);
    EXPECT_EQ(be.OutputGain, 1.0);
    EXPECT_EQ(be.NumData1, 0);
    EXPECT_EQ(be.PeakingModel, -1);
    EXPECT_EQ(be.DefaultPeakingModel, -1);
    EXPECT_EQ(be.TxBE_vWidth, 0.3);
    EXPECT_EQ(be.TxBE_vWidthMode, 0);
    EXPECT_TRUE(be.TxBE_vPeakList.empty());
    EXPECT_EQ(be.FPeak, 1.25e10);
    EXPECT_TRUE(be.dBPeakList.empty());
    EXPECT_EQ(be.PZ_Data1, nullptr);
    EXPECT_TRUE(be.G_Data1.empty());
    EXPECT_EQ(be.ColumnArrangement1, 0);
    EXPECT_EQ(be.Data1_Selected, nullptr);
    EXPECT_EQ(be.Data1, nullptr);
    EXPECT_EQ(be.Data1_Slow, nullptr);
    EXPECT_EQ(be.Data1_Fast, nullptr);
    EXPECT_EQ(be.PZ_Data1Text, nullptr);
    EXPECT_EQ(be.NumData2, 0);
    EXPECT_EQ(be.ColumnArrangement2, 0);
    EXPECT_EQ(be.SectionTopology, 0);
    EXPECT_EQ(be.AdaptSectionRatio, 0);
    EXPECT_TRUE(be.Section1RatioList.empty());
    EXPECT_EQ(be.Section1Ratio, 0.5);
    EXPECT_EQ(be.NumData3, 0);
    EXPECT_EQ(be.NumData4, 0);
    EXPECT_EQ(be.Data4_Fast, nullptr);
    EXPECT_FALSE(be.CoreParametersChecked);
}

TEST(BackEnd, DefaultsResolve)
{
    Base_SerDesTxBE_CTLE be;
    stepRespModel(be);
    be.AdaptForChannel = -1;
    be.DefaultAdaptForChannel = 1;
    EXPECT_EQ(check(be, true), "");
    EXPECT_EQ(be.ModelType, 3);
    EXPECT_EQ(be.AdaptForChannel, 1);
    EXPECT_EQ(be.PeakingModel, 0);
    EXPECT_EQ(be.DefaultPeakingModel, 0);

    Base_SerDesTxBE_CTLE both;
    EXPECT_EQ(check(both, true), "");
    EXPECT_EQ(both.ModelType, 0);
    EXPECT_EQ(both.DefaultModelType, 0);
    EXPECT_EQ(both.AdaptForChannel, 0);
    EXPECT_EQ(both.DefaultAdaptForChannel, 0);

    // A negative search switch with no default means no search.
    Base_SerDesTxBE_CTLE neg;
    stepRespModel(neg);
    neg.AdaptForChannel = -5;
    EXPECT_EQ(check(neg, true), "");
    EXPECT_EQ(neg.AdaptForChannel, 0);
}

TEST(BackEnd, StateIndexRange)
{
    Base_SerDesTxBE_CTLE be;
    stepRespModel(be);
    be.Data1Index = 0;
    EXPECT_EQ(check(be, false), "Data1Index must be an integer in the range [1, 16].\n");

    Base_SerDesTxBE_CTLE search;
    stepRespModel(search);
    search.Data1Index = 0;
    search.AdaptForChannel = 1;
    EXPECT_EQ(check(search, true), "");

    Base_SerDesTxBE_CTLE high;
    stepRespModel(high);
    high.Data1Index = 17;
    high.AdaptForChannel = 2;
    EXPECT_EQ(check(high, false), "AdaptForChannel must be either 0 or 1.\n");

    Base_SerDesTxBE_CTLE negCount;
    stepRespModel(negCount);
    negCount.NumData1 = -1;
    EXPECT_EQ(check(negCount, false),
              "NumData1 must be > 0.\nData1Index must be an integer in the range [1, -1].\n");
}

TEST(BackEnd, OutputGainMustNotBeZero)
{
    for (double g : {0.0, 1e-310, -1e-310}) {
        Base_SerDesTxBE_CTLE be;
        stepRespModel(be);
        be.OutputGain = g;
        EXPECT_EQ(check(be, false), "OutputGain must not be zero.\n") << g;
    }
    for (double g : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        Base_SerDesTxBE_CTLE be;
        stepRespModel(be);
        be.OutputGain = g;
        EXPECT_EQ(check(be, false), "OutputGain must be a finite number.\n") << g;
    }
    Base_SerDesTxBE_CTLE neg;
    stepRespModel(neg);
    neg.OutputGain = -2.2250738585072014e-307;
    EXPECT_EQ(check(neg, true), "");
}

TEST(BackEnd, KindChecks)
{
    Base_SerDesTxBE_CTLE be;
    be.FEType = 0;
    EXPECT_EQ(check(be, false), "FEType must be an integer in the range [1, 4].\n");

    // An FEType above 4 is checked as a cascade of lists as well.
    Base_SerDesTxBE_CTLE five;
    five.FEType = 5;
    EXPECT_EQ(check(five, false), "FEType must be an integer in the range [1, 4].\n"
                                  "Data1Index must be an integer in the range [1, 0].\n"
                                  "Data2Index must be an integer in the range [1, 0].\n"
                                  "Data3Index must be an integer in the range [1, 0].\n");

    Base_SerDesTxBE_CTLE m;
    m.ModelType = 5;
    m.NumData1 = 1;
    m.AdaptForChannel = 1;
    EXPECT_EQ(check(m, false), "ModelType must be an integer in the range [1, 4].\n");

    Base_SerDesTxBE_CTLE agc;
    agc.AutoGainControl = -1;
    EXPECT_EQ(check(agc, false), "AutoGainControl must be either 0 or 1.\n");

    Base_SerDesTxBE_CTLE level;
    level.AutoGainControl = 1;
    level.AGC_Level = 0.0;
    EXPECT_EQ(check(level, false), "AGC_Level must be > 0.\n");
}

TEST(BackEnd, TableChecks)
{
    Base_SerDesTxBE_CTLE be;
    stepRespModel(be);
    be.ColumnArrangement1 = 2;
    be.EnableCorners = 1;
    be.CornerCase = 3;
    EXPECT_EQ(check(be, false),
              "ColumnArrangement1 must be either 0 or 1.\nCornerCase must be either 0, 1 or 2.\n");

    Base_SerDesTxBE_CTLE c;
    stepRespModel(c);
    c.EnableCorners = -1;
    EXPECT_EQ(check(c, false), "EnableCorners must be either 0 or 1.\n");

    // Checked only for step-response data.
    Base_SerDesTxBE_CTLE gainOnly;
    gainOnly.ColumnArrangement1 = 9;
    EXPECT_EQ(check(gainOnly, true), "");
}

TEST(BackEnd, CoreChecksComeFirst)
{
    Base_SerDesTxBE_CTLE be;
    stepRespModel(be);
    be.SamplesPerSymbol = 3;
    be.Data1Index = 0;
    EXPECT_EQ(check(be, false),
              "SamplesPerSymbol must be >= 4.\nData1Index must be an integer in the range [1, 16].\n");
}

TEST(BackEnd, PeakingChecks)
{
    Base_SerDesTxBE_CTLE be;
    be.ModelType = 1;
    be.NumData1 = 2;
    be.AdaptForChannel = 1;
    be.FPeak = 6e9;  // below SymbolRate / 4
    EXPECT_EQ(check(be, false), "FPeak must be > SymbolRate/4.0.\ndBPeakList must have at least 1 value.\n");

    Base_SerDesTxBE_CTLE range;
    range.ModelType = 1;
    range.NumData1 = 3;
    range.AdaptForChannel = 1;
    range.dBPeakList = {3.0, 60.0, 0.1};
    EXPECT_EQ(check(range, false), "dBPeakList[1] value must be in the range [0.5, 50].\n");

    Base_SerDesTxBE_CTLE size;
    size.ModelType = 1;
    size.PeakingModel = 1;
    size.NumData1 = 3;
    size.AdaptForChannel = 1;
    size.TxBE_vPeakList = {0.1};
    size.TxBE_vWidthMode = 5;  // not looked at after the size fault
    EXPECT_EQ(check(size, false), "TxBE_vPeakList array size must equal TxBE_NumData1 ( 3 ).\n");

    Base_SerDesTxBE_CTLE values;
    values.ModelType = 1;
    values.PeakingModel = 1;
    values.NumData1 = 3;
    values.AdaptForChannel = 0;
    values.Data1Index = 1;
    values.TxBE_vPeakList = {0.004, 0.7, -0.1};
    values.TxBE_vWidth = 0.5;
    values.TxBE_vWidthMode = 2;
    EXPECT_EQ(check(values, false), "TxBE_vPeakList data members must be a value in the range [0, 0.65].\n"
                                    "TxBE_vWidth must be a value in the range [0.02, 0.4].\n"
                                    "TxBE_vWidthMode must be an integer in the range [0, 1].\n");
    EXPECT_EQ(values.TxBE_vPeakList[0], 0.0);

    Base_SerDesTxBE_CTLE other;
    other.ModelType = 1;
    other.PeakingModel = 3;
    other.NumData1 = 1;
    other.AdaptForChannel = 1;
    EXPECT_EQ(check(other, false), "PeakingModel must be either 0 or 1.\n");
}

TEST(BackEnd, PeakingWidthLowerLimitNotice)
{
    Base_SerDesTxBE_CTLE be;
    be.ModelType = 1;
    be.PeakingModel = 1;
    be.NumData1 = 2;
    be.AdaptForChannel = 0;
    be.Data1Index = 2;
    be.TxBE_vPeakList = {0.1, 0.2};
    be.TxBE_vWidth = 0.05;
    EXPECT_EQ(check(be, true), "TxBE_vWidth is set less than 0.07 which is the lower limit allowed for "
                               "SamplesPerSymbol = 32 and will be set to this lower limit.\n");
    EXPECT_DOUBLE_EQ(be.TxBE_vWidth, 0.07);

    Base_SerDesTxBE_CTLE ok;
    ok.ModelType = 1;
    ok.PeakingModel = 1;
    ok.NumData1 = 1;
    ok.AdaptForChannel = 0;
    ok.TxBE_vPeakList = {0.3};
    ok.TxBE_vWidth = 0.07;
    EXPECT_EQ(check(ok, true), "");
}

TEST(BackEnd, PoleZeroSetChecks)
{
    Base_SerDesTxBE_CTLE be;
    be.ModelType = 2;
    be.NumData1 = 2;
    be.AdaptForChannel = 1;
    EXPECT_EQ(check(be, false), "G_Data1 array size must equal 2.\nPZ_Data1 array must not be empty.\n");

    // Zeros have positive and poles negative real parts; complex roots count twice.
    Base_SerDesTxBE_CTLE sets;
    sets.ModelType = 2;
    sets.NumData1 = 3;
    sets.AdaptForChannel = 1;
    sets.G_Data1 = {1.0, 1.0, 1.0};
    sets.PZ_Data1 = new std::vector<std::complex<double>>[3];
    sets.PZ_Data1[0] = {{1e9, 0}, {-2e9, 0}, {-3e9, 0}, {0, 0}};
    sets.PZ_Data1[1] = {{1e9, 0}, {-2e9, 0}, {-3e9, 1e9}, {0, 0}};
    sets.PZ_Data1[2] = {{1e9, 0}, {2e9, 0}, {-3e9, 0}, {0, 0}};
    EXPECT_EQ(check(sets, false), "Number of poles must be greater then number of zeros in PZ_Data1[2].\n");

    Base_SerDesTxBE_CTLE first;
    first.ModelType = 2;
    first.NumData1 = 2;
    first.AdaptForChannel = 1;
    first.G_Data1 = {1.0, 1.0};
    first.PZ_Data1 = new std::vector<std::complex<double>>[2];
    first.PZ_Data1[0] = {{1e9, 2e9}, {-2e9, 0}};  // 2 zeros, 1 pole
    first.PZ_Data1[1] = {{-1e9, 2e9}, {0, 0}};
    EXPECT_EQ(check(first, false), "Number of poles must be greater then number of zeros in PZ_Data1[0].\n");

    Base_SerDesTxBE_CTLE sizes;
    sizes.ModelType = 2;
    sizes.NumData1 = 2;
    sizes.AdaptForChannel = 1;
    sizes.G_Data1 = {1.0, 1.0};
    sizes.PZ_Data1 = new std::vector<std::complex<double>>[2];
    sizes.PZ_Data1[0] = {{-1e9, 0}};
    sizes.PZ_Data1[1] = {{-1e9, 0}, {-2e9, 0}};
    EXPECT_EQ(check(sizes, false), "PZ_Data1[1] array size must equal 1.\n");
    sizes.DeleteBuffers();
    EXPECT_EQ(sizes.PZ_Data1, nullptr);
    sizes.DeleteBuffers();
}

TEST(BackEnd, PoleZeroSetsFromFile)
{
    char dir[] = "/tmp/vm_pzXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/ctle.pz";
    {
        std::ofstream f(path);
        f << "! test sets\n# GHz\n1.0 [1] [] [1+2j] []\n2.5 [3, 4] [0.5] [] []\n";
    }
    char name[] = "ctle.pz";
    Base_SerDesTxBE_CTLE be;
    be.ModelType = 2;
    be.NumData1 = 2;
    be.AdaptForChannel = 1;
    be.ModelBuilderDirName = dir;
    be.PZ_Data1Text = name;
    EXPECT_EQ(check(be, true), "");
    ASSERT_EQ(be.G_Data1, (std::vector<double>{1.0, 2.5}));
    ASSERT_NE(be.PZ_Data1, nullptr);
    const double w = 2.0 * kPi * 1e9;
    // Each set as long as the longest (3 points); zeros first, then poles.
    ASSERT_EQ(be.PZ_Data1[0].size(), 3u);
    ASSERT_EQ(be.PZ_Data1[1].size(), 3u);
    EXPECT_NEAR(be.PZ_Data1[0][0].real(), -w, 1.0);
    EXPECT_EQ(be.PZ_Data1[0][0].imag(), 0.0);
    EXPECT_NEAR(be.PZ_Data1[0][1].real(), -w, 1.0);
    EXPECT_NEAR(be.PZ_Data1[0][1].imag(), 2.0 * w, 1.0);
    EXPECT_EQ(be.PZ_Data1[0][2], std::complex<double>(0.0, 0.0));
    EXPECT_NEAR(be.PZ_Data1[1][0].real(), 0.5 * w, 1.0);
    EXPECT_NEAR(be.PZ_Data1[1][1].real(), -3.0 * w, 1.0);
    EXPECT_NEAR(be.PZ_Data1[1][2].real(), -4.0 * w, 1.0);

    // A wrong count comes from the reader, and the set checks follow.
    Base_SerDesTxBE_CTLE three;
    three.ModelType = 2;
    three.NumData1 = 3;
    three.AdaptForChannel = 1;
    three.ModelBuilderDirName = dir;
    three.PZ_Data1Text = name;
    EXPECT_EQ(check(three, false),
              "\nERROR:  PZ data file contains 2 data sets which is not the same as expected 3.\n"
              "G_Data1 array size must equal 3.\nPZ_Data1 array must not be empty.\n");
    std::remove(path.c_str());
    rmdir(dir);
}

TEST(BackEnd, ParallelAndListChecks)
{
    Base_SerDesTxBE_CTLE be;
    be.FEType = 2;
    be.NumData1 = 2;
    be.NumData2 = 0;
    be.AdaptForChannel = 0;
    be.Data1Index = 1;
    be.SectionTopology = 1;
    be.AdaptSectionRatio = 0;
    be.Section1Ratio = 1.5;
    be.ColumnArrangement2 = -1;
    EXPECT_EQ(check(be, false), "Section1Ratio must be a value in the range [0, 1].\n"
                                "NumData1 and NumData2 must both be > 0.\n"
                                "Data2Index must be an integer in the range [1, 0].\n"
                                "ColumnArrangement2 must be either 0 or 1.\n");

    Base_SerDesTxBE_CTLE ratios;
    ratios.FEType = 2;
    ratios.NumData1 = 1;
    ratios.NumData2 = 1;
    ratios.AdaptForChannel = 1;
    ratios.SectionTopology = 1;
    ratios.AdaptSectionRatio = 1;
    EXPECT_EQ(check(ratios, false), "Section1RatioList must have at least one member.\n");
    Base_SerDesTxBE_CTLE ratios2;
    ratios2.FEType = 2;
    ratios2.NumData1 = 1;
    ratios2.NumData2 = 1;
    ratios2.AdaptForChannel = 1;
    ratios2.SectionTopology = 1;
    ratios2.AdaptSectionRatio = 1;
    ratios2.Section1RatioList = {0.5, 1.2, -1.0};
    EXPECT_EQ(check(ratios2, false), "Section1RatioList values must be in the range [0, 1].\n");

    Base_SerDesTxBE_CTLE topo;
    topo.FEType = 2;
    topo.NumData1 = 1;
    topo.NumData2 = 1;
    topo.AdaptForChannel = 1;
    topo.SectionTopology = 2;
    EXPECT_EQ(check(topo, false), "SectionTopology must be either 0 or 1.\n");
    Base_SerDesTxBE_CTLE adapt;
    adapt.FEType = 2;
    adapt.NumData1 = 1;
    adapt.NumData2 = 1;
    adapt.AdaptForChannel = 1;
    adapt.SectionTopology = 1;
    adapt.AdaptSectionRatio = 2;
    EXPECT_EQ(check(adapt, false), "AdaptSectionRatio must be either 0 or 1.\n");

    Base_SerDesTxBE_CTLE four;
    four.FEType = 4;
    four.NumData1 = 2;
    four.NumData2 = 2;
    four.NumData3 = -1;
    four.NumData4 = 3;
    four.AdaptForChannel = 0;
    four.Data1Index = 2;
    four.Data2Index = 2;
    four.Data3Index = 1;
    four.Data4Index = 4;
    four.ColumnArrangement3 = 1;
    four.ColumnArrangement4 = 7;
    EXPECT_EQ(check(four, false), "NumData3 must be > 0.\n"
                                  "Data3Index must be an integer in the range [1, -1].\n"
                                  "Data4Index must be an integer in the range [1, 3].\n"
                                  "ColumnArrangement4 must be either 0 or 1.\n");
}

TEST(BackEnd, ChecksRunOnceAndFlagRule)
{
    // Model-specific failure: the flag is set, the next Setup goes straight
    // to the front end.
    Table t = makeTable({0.0, 0.1});
    Base_SerDesTxBE_CTLE be;
    be.SymbolRate = kSymbolRate;
    be.SamplesPerSymbol = kSps;
    be.DefaultModelType = 3;
    be.NumData1 = 2;
    be.ColumnArrangement1 = 1;
    be.Data1 = t.get();
    be.AdaptForChannel = 0;
    be.Data1Index = 5;
    EXPECT_FALSE(be.Setup());
    EXPECT_TRUE(be.CoreParametersChecked);
    EXPECT_EQ(be.msg.str(), "Data1Index must be an integer in the range [1, 2].\n");
    be.msg.str("");
    // The front end's own check of the index is the only one left.
    EXPECT_FALSE(be.Setup());
    EXPECT_EQ(be.msg.str(), "ERROR:  Front end Data1Index must be an integer in the range [1, 2].\n");
    be.msg.str("");
    be.Data1Index = 2;
    EXPECT_TRUE(be.Setup()) << be.msg.str();

    // Core failure: the flag stays false, so the next Setup checks again.
    Base_SerDesTxBE_CTLE core;
    core.SymbolRate = -1.0;
    core.DefaultModelType = 3;
    EXPECT_FALSE(core.Setup());
    EXPECT_FALSE(core.CoreParametersChecked);
    EXPECT_EQ(core.msg.str(), "SymbolRate must be > 0.\n");
    core.msg.str("");
    EXPECT_FALSE(core.Setup());
    EXPECT_EQ(core.msg.str(), "SymbolRate must be > 0.\n");
    EXPECT_EQ(core.ModelType, -1);  // the model-specific check never ran
}

TEST(BackEnd, SetupCopiesIntoFrontEndAndCore)
{
    Table typ = makeTable({0.0, 0.1}), slow = makeTable({0.0, 0.2}), fast = makeTable({0.0, 0.3});
    Base_SerDesTxBE_CTLE be;
    be.SymbolRate = kSymbolRate;
    be.SamplesPerSymbol = kSps;
    be.DefaultModelType = 3;
    be.NumData1 = 2;
    be.ColumnArrangement1 = 1;
    be.Data1 = typ.get();
    be.Data1_Slow = slow.get();
    be.Data1_Fast = fast.get();
    be.EnableCorners = 1;
    be.CornerCase = 1;
    be.AdaptForChannel = 0;
    be.Data1Index = 2;
    be.OutputGain = -0.5;
    be.TxBE_vWidth = 0.2;
    ASSERT_TRUE(be.Setup()) << be.msg.str();
    const Base_SerDesFE_CTLE& fe = be;
    EXPECT_EQ(fe.ModelType, 3);
    EXPECT_EQ(fe.NumData1, 2);
    EXPECT_EQ(fe.Data1Index, 2);
    EXPECT_EQ(fe.OutputGain, -0.5);
    EXPECT_EQ(fe.vWidth, 0.2);
    EXPECT_EQ(fe.Data1_Slow, slow.get());
    EXPECT_EQ(fe.Data1_Selected, slow.get());
    const Base_SerDes_CoreParameters& core = be;
    EXPECT_EQ(core.EnableCorners, 1);
    EXPECT_EQ(core.CornerCase, 1);
    EXPECT_EQ(be.msg.str(), "CornerCase = Slow (1)\n");
    EXPECT_EQ(be.Container->StepResp_AMI.InputGain, -0.5);
}

// Spectrum data: the lent spectra of the corner in use are converted once
// into step responses, the slot then holds the converted list, and the
// model runs on it as step-response data.
struct SpectrumList {
    std::unique_ptr<std::vector<double>[]> v;
    std::vector<double>* get() { return v.get(); }
};

// State k: a Gaussian pulse of unit area at 100 ps (8 GHz wide, so it has
// died out by half the sample rate and holds no energy before time 0)
// followed by -a_k of it one unit interval later (de-emphasis), tabulated
// every 10 MHz up to 60 GHz.
SpectrumList spectrumList(const std::vector<double>& a)
{
    SpectrumList s;
    s.v.reset(new std::vector<double>[2 * a.size() + 1]);
    const double f0 = 8e9, tau = 100e-12, ui = 1.0 / kSymbolRate;
    for (int i = 0; i <= 6000; ++i)
        s.v[0].push_back(i * 10e6);
    for (size_t k = 0; k < a.size(); ++k) {
        for (double f : s.v[0]) {
            const double g = std::exp(-0.5 * (f / f0) * (f / f0));
            const std::complex<double> h = g * (std::polar(1.0, -2.0 * kPi * f * tau) -
                                                a[k] * std::polar(1.0, -2.0 * kPi * f * (tau + ui)));
            s.v[2 * k + 1].push_back(h.real());
            s.v[2 * k + 2].push_back(h.imag());
        }
    }
    return s;
}

// The expected step of state k on the simulation grid: running sum of the
// sampled pulses.
double expectedStep(double a, int n)
{
    const double fs = kSymbolRate * kSps, ts = 1.0 / fs;
    const double sigma = 1.0 / (2.0 * kPi * 8e9), tau = 100e-12, ui = 1.0 / kSymbolRate;
    double sum = 0.0;
    for (int i = 0; i <= n; ++i) {
        const double t = i * ts;
        auto g = [&](double c) {
            return ts * std::exp(-0.5 * (t - c) * (t - c) / (sigma * sigma)) / (std::sqrt(2.0 * kPi) * sigma);
        };
        sum += g(tau) - a * g(tau + ui);
    }
    return sum;
}

TEST(BackEnd, SpectrumDataBecomesStepResponses)
{
    const std::vector<double> a = {0.0, 0.2, 0.4};
    SpectrumList typ = spectrumList(a), fast = spectrumList({0.5, 0.5, 0.5});
    Base_SerDesTxBE_CTLE be;
    be.SymbolRate = kSymbolRate;
    be.SamplesPerSymbol = kSps;
    be.ModelType = 4;
    be.NumData1 = 3;
    be.AdaptForChannel = 1;
    be.Data1 = typ.get();
    be.Data1_Fast = fast.get();
    be.ImpulseIn = lossyChannel(240, 2.0);
    ASSERT_TRUE(be.Setup()) << be.msg.str();
    EXPECT_EQ(be.ModelType, 3);
    EXPECT_EQ(be.ColumnArrangement1, 1);
    ASSERT_NE(be.Data1, typ.get());  // the slot now holds the converted list
    EXPECT_EQ(be.Data1_Fast, fast.get());
    const std::vector<double>* list = be.Data1;
    const size_t n = list[0].size();
    ASSERT_GT(n, 20u);
    for (int k = 1; k <= 3; ++k)
        ASSERT_EQ(list[k].size(), n);
    EXPECT_EQ(list[0][5], 5.0 / (kSps * kSymbolRate));
    for (int k = 1; k <= 3; ++k)
        for (size_t i = 0; i < n; i += 3)
            EXPECT_NEAR(list[k][i], expectedStep(a[k - 1], static_cast<int>(i)), 1e-4) << k << " " << i;
    EXPECT_NEAR(list[3][n - 1], 0.6, 1e-4);

    // It runs as step-response data, and later cycles reuse the list.
    ASSERT_TRUE(be.Initialize()) << be.msg.str();
    EXPECT_NE(be.msg.str().find("Back end (BE) model based on step response data.\n"), std::string::npos);
    ASSERT_TRUE(be.Run());
    EXPECT_FALSE(be.ImpulseOut.empty());
    EXPECT_TRUE(be.Finalize());
    ASSERT_TRUE(be.Setup());
    EXPECT_EQ(be.Data1, list);
    ASSERT_TRUE(be.Initialize());
    // The caller's spectra are untouched.
    EXPECT_EQ(typ.v[0].size(), 6001u);
    EXPECT_EQ(typ.v[1][0], 1.0);
}

TEST(BackEnd, SpectrumWithoutSearchConvertsTheSelectedState)
{
    SpectrumList typ = spectrumList({0.0, 0.2, 0.4});
    Base_SerDesTxBE_CTLE be;
    be.SymbolRate = kSymbolRate;
    be.SamplesPerSymbol = kSps;
    be.ModelType = 4;
    be.NumData1 = 3;
    be.AdaptForChannel = 0;
    be.Data1Index = 3;
    be.Data1 = typ.get();
    ASSERT_TRUE(be.Setup()) << be.msg.str();
    const std::vector<double>* list = be.Data1;
    EXPECT_EQ(list[1], list[3]);
    EXPECT_EQ(list[2], list[3]);
    EXPECT_NEAR(list[3].back(), 0.6, 1e-4);
}

TEST(BackEnd, FailedSpectrumConversion)
{
    SpectrumList bad = spectrumList({0.0});
    bad.v[0][3] = bad.v[0][2];  // frequencies not ascending
    Base_SerDesTxBE_CTLE be;
    be.SymbolRate = kSymbolRate;
    be.SamplesPerSymbol = kSps;
    be.ModelType = 4;
    be.NumData1 = 1;
    be.AdaptForChannel = 1;
    be.Data1 = bad.get();
    EXPECT_FALSE(be.Setup());
    EXPECT_EQ(be.msg.str(), "Frequency values must be >= 0 and strictly ascending.\n");
    EXPECT_EQ(be.ModelType, 3);
    EXPECT_EQ(be.ColumnArrangement1, 1);
    EXPECT_EQ(be.Data1, nullptr);  // the spectra are not offered as steps
    // The next cycle fails cleanly in the section.
    be.msg.str("");
    EXPECT_TRUE(be.Setup());
    be.ImpulseIn = lossyChannel();
    EXPECT_FALSE(be.Initialize());
    EXPECT_NE(be.msg.str().find("EQ1_StepResp_data_values vector size must be > 0.\n"), std::string::npos);
}

}  // namespace
