#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "framework/Base_SerDesFE_CTLE.h"
#include "framework/Base_SerDesFE_CTLE_Container.h"
#include "framework/Base_SerDesTxBE_CTLE.h"
#include "tests/framework/FrameworkTestData.h"

using namespace Veltramodels20200612;
using namespace fwtest;

namespace {

// A front end set up directly (no back end) on the synthetic table.
void configure(Base_SerDesFE_CTLE& fe, Table& t)
{
    fe.SymbolRate = kSymbolRate;
    fe.SamplesPerSymbol = kSps;
    fe.FEType = 1;
    fe.ModelType = 3;
    fe.NumData1 = t.states;
    fe.ColumnArrangement1 = 1;
    fe.Data1 = t.get();
}

TEST(FrontEnd, ConstructorDefaults)
{
    Base_SerDesFE_CTLE fe;
    EXPECT_EQ(fe.ChannelSpanUI, 0);
    EXPECT_EQ(fe.ResponseSpanUI, 0);
    EXPECT_EQ(fe.FrontEnd, 1);
    EXPECT_EQ(fe.FEType, 1);
    EXPECT_EQ(fe.ModelType, 0);
    EXPECT_EQ(fe.Data1Index, 1);
    EXPECT_EQ(fe.Data4Index, 1);
    EXPECT_EQ(fe.AutoGainControl, 0);
    EXPECT_EQ(fe.AGC_Level, 1.0);
    EXPECT_EQ(fe.AdaptForChannel, 0);
    EXPECT_EQ(fe.OutputGain, 1.0);
    EXPECT_EQ(fe.NumData1, 0);
    EXPECT_EQ(fe.PeakingModel, 0);
    EXPECT_EQ(fe.vWidth, 0.3);
    EXPECT_EQ(fe.vWidthMode, 0);
    EXPECT_EQ(fe.FPeak, 1.25e10);
    EXPECT_EQ(fe.PZ_Data1, nullptr);
    EXPECT_EQ(fe.ColumnArrangement1, 0);
    EXPECT_EQ(fe.Data1_Selected, nullptr);
    EXPECT_EQ(fe.Data1, nullptr);
    EXPECT_EQ(fe.Data1_Slow, nullptr);
    EXPECT_EQ(fe.Data1_Fast, nullptr);
    EXPECT_EQ(fe.NumData2, 0);
    EXPECT_EQ(fe.Data4_Fast, nullptr);
    EXPECT_EQ(fe.SectionTopology, 0);
    EXPECT_EQ(fe.AdaptSectionRatio, 0);
    EXPECT_EQ(fe.Section1Ratio, 0.5);
    EXPECT_EQ(fe.SkipSpectrum, 0);
    EXPECT_EQ(fe.SkipFinalEvaluation, 0);
    EXPECT_EQ(fe.LendImpulseIn, 0);
    ASSERT_NE(fe.Container, nullptr);
}

TEST(FrontEnd, SectionSettingsAndTypicalTable)
{
    Table t = makeTable({0.0, 0.1, 0.2, 0.3, 0.4});
    Base_SerDesFE_CTLE fe;
    configure(fe, t);
    fe.Data1Index = 5;
    fe.OutputGain = 0.75;
    fe.ResBW = 1e8;
    EXPECT_TRUE(fe.Setup()) << fe.msg.str();
    const RxLTI_StepResp_AMI& s = fe.Container->StepResp_AMI;
    EXPECT_EQ(s.BitRate, kSymbolRate);
    EXPECT_EQ(s.SamplesPerBit, kSps);
    EXPECT_EQ(s.TxDataLevelPtoP, 1.0);
    EXPECT_EQ(s.FEType, 1);
    EXPECT_EQ(s.FreqStep, 1e8);
    EXPECT_EQ(s.InputGain, 0.75);
    EXPECT_EQ(s.AdaptDataIndex, 0);
    EXPECT_EQ(s.AdaptForOutputLevel, 0);
    EXPECT_EQ(s.NumData1, 5);
    EXPECT_EQ(s.Data1Index, 5);
    EXPECT_EQ(s.NumData2, 0);
    EXPECT_EQ(s.Data2Index, 1);
    EXPECT_EQ(s.ColumnArrangement1, 1);
    ASSERT_EQ(s.StepResp_data_values1, &fe.Data1_Selected);
    EXPECT_EQ(fe.Data1_Selected, t.get());
    EXPECT_EQ(fe.msg.str(), "");  // corners off: no corner line

    // With the search on the section starts from state 1.
    fe.AdaptForChannel = 1;
    fe.AutoGainControl = 1;
    EXPECT_TRUE(fe.Setup());
    EXPECT_EQ(s.AdaptDataIndex, 1);
    EXPECT_EQ(s.Data1Index, 1);
    EXPECT_EQ(s.AdaptForOutputLevel, 3);
}

TEST(FrontEnd, ListsTwoToFourSettings)
{
    Table t1 = makeTable({0.0, 0.1, 0.2}), t2 = makeTable({0.0, 0.1}), t3 = makeTable({0.0, 0.1}),
          t4 = makeTable({0.0, 0.1, 0.2, 0.3});
    Base_SerDesFE_CTLE fe;
    configure(fe, t1);
    fe.FEType = 4;
    fe.Data2 = t2.get();
    fe.Data3 = t3.get();
    fe.Data4 = t4.get();
    fe.NumData2 = 2;
    fe.NumData3 = 2;
    fe.NumData4 = 4;
    fe.ColumnArrangement2 = 1;
    fe.ColumnArrangement3 = 1;
    fe.ColumnArrangement4 = 1;
    fe.Data2Index = 2;
    fe.Data3Index = 1;
    fe.Data4Index = 3;
    EXPECT_TRUE(fe.Setup()) << fe.msg.str();
    const RxLTI_StepResp_AMI& s = fe.Container->StepResp_AMI;
    EXPECT_EQ(s.FEType, 4);
    EXPECT_EQ(s.NumData2, 2);
    EXPECT_EQ(s.NumData3, 2);
    EXPECT_EQ(s.NumData4, 4);
    EXPECT_EQ(s.Data2Index, 2);
    EXPECT_EQ(s.Data3Index, 1);
    EXPECT_EQ(s.Data4Index, 3);
    EXPECT_EQ(s.StepResp_data_values2, &fe.Data2_Selected);
    EXPECT_EQ(s.StepResp_data_values3, &fe.Data3_Selected);
    EXPECT_EQ(s.StepResp_data_values4, &fe.Data4_Selected);
    EXPECT_EQ(fe.Data4_Selected, t4.get());
    EXPECT_EQ(s.ColumnArrangement4, 1);
    EXPECT_EQ(s.SectionTopology, 0);

    // With the search on, every list starts from state 1.
    fe.AdaptForChannel = 1;
    EXPECT_TRUE(fe.Setup());
    EXPECT_EQ(s.Data2Index, 1);
    EXPECT_EQ(s.Data4Index, 1);

    // Two lists: lists 3 and 4 are not in use; the topology settings go to
    // the section, the ratio search only with the state search.
    fe.FEType = 2;
    fe.AdaptForChannel = 0;
    fe.SectionTopology = 1;
    fe.AdaptSectionRatio = 1;
    fe.Section1RatioList = {0.2, 0.8};
    fe.Section1Ratio = 0.3;
    EXPECT_TRUE(fe.Setup()) << fe.msg.str();
    EXPECT_EQ(s.NumData3, 0);
    EXPECT_EQ(s.Data3Index, 1);
    EXPECT_EQ(s.NumData4, 0);
    EXPECT_EQ(s.StepResp_data_values4, nullptr);
    EXPECT_EQ(s.SectionTopology, 1);
    EXPECT_EQ(s.AdaptSectionRatio, 0);
    EXPECT_EQ(s.Section1RatioList, fe.Section1RatioList);
    EXPECT_EQ(s.Section1Ratio, 0.3);

    // One list: list 2 is not in use either.
    fe.FEType = 1;
    EXPECT_TRUE(fe.Setup());
    EXPECT_EQ(s.NumData2, 0);
    EXPECT_EQ(s.Data2Index, 1);
    EXPECT_EQ(s.SectionTopology, 0);
}

TEST(FrontEnd, CornerSelectsSlowOrFastTable)
{
    Table typ = makeTable({0.0, 0.2}), slow = makeTable({0.0, 0.1}), fast = makeTable({0.0, 0.3});
    Base_SerDesFE_CTLE fe;
    configure(fe, typ);
    fe.Data1_Slow = slow.get();
    fe.Data1_Fast = fast.get();
    fe.EnableCorners = 1;
    fe.CornerCase = 2;
    EXPECT_TRUE(fe.Setup());
    EXPECT_EQ(fe.Data1_Selected, fast.get());
    EXPECT_EQ(fe.msg.str(), "CornerCase = Fast (2)\n");

    fe.msg.str("");
    fe.CornerCase = 1;
    EXPECT_TRUE(fe.Setup());
    EXPECT_EQ(fe.Data1_Selected, slow.get());
    EXPECT_EQ(fe.msg.str(), "CornerCase = Slow (1)\n");

    // A pair that names no corner leaves the selection as it was.
    fe.msg.str("");
    fe.CornerCase = 7;
    EXPECT_TRUE(fe.Setup());
    EXPECT_EQ(fe.Data1_Selected, slow.get());
    EXPECT_EQ(fe.msg.str(), "");

    fe.EnableCorners = 0;
    EXPECT_TRUE(fe.Setup());
    EXPECT_EQ(fe.Data1_Selected, typ.get());

    // Corners on with CornerCase 0 take the typical table and say so.
    fe.msg.str("");
    fe.EnableCorners = 1;
    fe.CornerCase = 0;
    EXPECT_TRUE(fe.Setup());
    EXPECT_EQ(fe.Data1_Selected, typ.get());
    EXPECT_EQ(fe.msg.str(), "CornerCase = Typical (0)\n");
}

TEST(FrontEnd, NullSelectedTableFailsInInitialize)
{
    Base_SerDesFE_CTLE fe;
    fe.SymbolRate = kSymbolRate;
    fe.SamplesPerSymbol = kSps;
    fe.ModelType = 3;
    fe.NumData1 = 16;
    fe.ColumnArrangement1 = 1;
    fe.ImpulseIn = lossyChannel();
    EXPECT_TRUE(fe.Setup()) << fe.msg.str();
    EXPECT_EQ(fe.msg.str(), "");
    EXPECT_FALSE(fe.Initialize());
    const std::string text = fe.msg.str();
    const size_t a = text.find("EQ1_StepResp_data_values vector size must be > 0.\n");
    const size_t b = text.find("\nERROR:  Front end (FE) model generation failed.\n");
    ASSERT_NE(a, std::string::npos) << text;
    ASSERT_NE(b, std::string::npos) << text;
    EXPECT_LT(a, b);
}

TEST(FrontEnd, SpectrumDataMustBeConvertedFirst)
{
    Table t = makeTable({0.0, 0.1});
    Base_SerDesFE_CTLE fe;
    configure(fe, t);
    fe.ModelType = 4;
    EXPECT_FALSE(fe.Setup());
    EXPECT_EQ(fe.msg.str(), "Spectrum data must be converted to step response data before CTLE setup.\n");
}

// Fixed state: the output impulse is the channel through the state's taps
// times OutputGain, computed here by direct convolution.
TEST(FrontEnd, FixedStateEndToEnd)
{
    const std::vector<double> a = {0.0, 0.1, 0.2, 0.3};
    Table t = makeTable(a);
    Base_SerDesTxBE_CTLE be;
    be.SymbolRate = kSymbolRate;
    be.SamplesPerSymbol = kSps;
    be.DefaultModelType = 3;
    be.NumData1 = t.states;
    be.ColumnArrangement1 = 1;
    be.Data1 = t.get();
    be.AdaptForChannel = 0;
    be.Data1Index = 3;
    be.OutputGain = 1.5;
    be.ImpulseIn = lossyChannel();
    ASSERT_TRUE(be.Setup()) << be.msg.str();
    ASSERT_TRUE(be.Initialize()) << be.msg.str();
    ASSERT_TRUE(be.Run());

    const std::vector<double> taps = tapsOf(deEmphasisStep(a[2]));
    std::vector<double> ref = convolve(be.ImpulseIn, taps);
    for (double& v : ref)
        v *= 1.5;
    ASSERT_GE(be.ImpulseOut.size(), ref.size());
    double peak = 0.0;
    for (double v : ref)
        peak = std::fmax(peak, std::fabs(v));
    for (size_t i = 0; i < be.ImpulseOut.size(); ++i) {
        const double expected = i < ref.size() ? ref[i] : 0.0;
        EXPECT_NEAR(be.ImpulseOut[i].imag(), expected, 1e-12 * peak) << i;
        EXPECT_EQ(be.ImpulseOut[i].real(), static_cast<double>(i) / kSymbolRate / kSps);
    }

    // Spans: 200 channel samples = 25 UI; the state's own response is its taps.
    EXPECT_EQ(be.ChannelSpanUI, 25);
    const int sectionUI = static_cast<int>(std::ceil(static_cast<double>(taps.size()) / kSps));
    EXPECT_EQ(be.ResponseSpanUI, 25 + sectionUI);

    double bc = 0.0, wc = 0.0;
    ASSERT_TRUE(eyeOf(be.ImpulseIn, taps, &bc, &wc));
    const std::string text = be.msg.str();
    ASSERT_EQ(text.find("Back end (BE) model based on step response data.\n"), 0u) << text;
    if (wc > 0.0) {
        const std::string key = "For the selected EQ states the open eye ratio = ";
        EXPECT_NEAR(numberAfter(text, key), wc / bc, 1e-5 * std::fabs(wc / bc)) << text;
    } else {
        EXPECT_NE(text.find("For the selected EQ states, the eye is closed.\n"), std::string::npos) << text;
    }
    EXPECT_EQ(be.Data1Index, 3);
    EXPECT_TRUE(be.Finalize());
    EXPECT_EQ(be.msg.str(), "");
}

// The search picks the state with the largest open-eye ratio, found here by
// measuring every state's channel response independently.
TEST(FrontEnd, SearchPicksLargestOpenEyeRatio)
{
    const std::vector<double> a = {0.0, 0.08, 0.16, 0.24, 0.32, 0.4};
    Table t = makeTable(a);
    const std::vector<double> channel = lossyChannel(240, 2.0);  // best state 5 of 6
    int best = 0;
    double bestRatio = -1e40;
    std::vector<double> ratios;
    for (size_t k = 0; k < a.size(); ++k) {
        double bc = 0.0, wc = 0.0;
        ASSERT_TRUE(eyeOf(channel, tapsOf(deEmphasisStep(a[k])), &bc, &wc));
        ratios.push_back(wc / bc);
        if (wc / bc > bestRatio) {
            bestRatio = wc / bc;
            best = static_cast<int>(k) + 1;
        }
    }
    // The example is only telling when the winner is clear and not the first.
    for (size_t k = 0; k < ratios.size(); ++k) {
        if (static_cast<int>(k) + 1 != best) {
            ASSERT_LT(ratios[k], bestRatio - 1e-6);
        }
    }
    ASSERT_GT(best, 1);
    ASSERT_GT(bestRatio, 0.0);

    Base_SerDesTxBE_CTLE be;
    be.SymbolRate = kSymbolRate;
    be.SamplesPerSymbol = kSps;
    be.DefaultModelType = 3;
    be.NumData1 = t.states;
    be.ColumnArrangement1 = 1;
    be.Data1 = t.get();
    be.AdaptForChannel = 1;
    be.Data1Index = 1;
    be.ImpulseIn = channel;
    ASSERT_TRUE(be.Setup()) << be.msg.str();
    ASSERT_TRUE(be.Initialize()) << be.msg.str();
    EXPECT_EQ(be.Data1Index, best);
    const std::string text = be.msg.str();
    const std::string head = "Back end (BE) model based on step response data.\n"
                             "Optimization of EQ over count = 6 states resulting in max open eye ratio = ";
    ASSERT_EQ(text.substr(0, head.size()), head) << text;
    EXPECT_NEAR(numberAfter(text, "max open eye ratio = "), bestRatio, 1e-5 * bestRatio);
    const std::string tail = " with optimized states:\nData1Index = " + std::to_string(best) + "\n";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;

    // The output is the chosen state's response.
    ASSERT_TRUE(be.Run());
    const std::vector<double> ref = convolve(channel, tapsOf(deEmphasisStep(a[best - 1])));
    ASSERT_GE(be.ImpulseOut.size(), ref.size());
    for (size_t i = 0; i < ref.size(); ++i)
        EXPECT_NEAR(be.ImpulseOut[i].imag(), ref[i], 1e-12) << i;
    EXPECT_TRUE(be.Finalize());

    // Turning the search off keeps the chosen state for the next cycle.
    be.AdaptForChannel = 0;
    ASSERT_TRUE(be.Setup());
    ASSERT_TRUE(be.Initialize());
    EXPECT_EQ(be.Data1Index, best);
    EXPECT_EQ(be.msg.str().find("Optimization"), std::string::npos);
    ASSERT_TRUE(be.Run());
    for (size_t i = 0; i < ref.size(); ++i)
        EXPECT_NEAR(be.ImpulseOut[i].imag(), ref[i], 1e-12) << i;

    // An inverted channel chooses the same state.
    Base_SerDesTxBE_CTLE inv;
    inv.SymbolRate = kSymbolRate;
    inv.SamplesPerSymbol = kSps;
    inv.DefaultModelType = 3;
    inv.NumData1 = t.states;
    inv.ColumnArrangement1 = 1;
    inv.Data1 = t.get();
    inv.AdaptForChannel = 1;
    inv.ImpulseIn = channel;
    for (double& v : inv.ImpulseIn)
        v = -v;
    ASSERT_TRUE(inv.Setup());
    ASSERT_TRUE(inv.Initialize());
    EXPECT_EQ(inv.Data1Index, best);
}

// An uncoupled aggressor: all zeros in, all zeros out, success; the search
// keeps the first state and reports a closed eye.
TEST(FrontEnd, AllZeroChannel)
{
    Table t = makeTable({0.0, 0.1, 0.2});
    for (int adapt : {1, 0}) {
        Base_SerDesTxBE_CTLE be;
        be.SymbolRate = kSymbolRate;
        be.SamplesPerSymbol = kSps;
        be.DefaultModelType = 3;
        be.NumData1 = t.states;
        be.ColumnArrangement1 = 1;
        be.Data1 = t.get();
        be.AdaptForChannel = adapt;
        be.Data1Index = 2;
        be.ImpulseIn.assign(100, 0.0);
        ASSERT_TRUE(be.Setup()) << be.msg.str();
        ASSERT_TRUE(be.Initialize()) << be.msg.str();
        ASSERT_TRUE(be.Run());
        for (const auto& p : be.ImpulseOut)
            EXPECT_EQ(p.imag(), 0.0);
        if (adapt == 1) {
            EXPECT_EQ(be.Data1Index, 1);
            EXPECT_EQ(be.msg.str(), "Back end (BE) model based on step response data.\n"
                                    "Optimization of EQ over count = 3 states resulting in closed eye with "
                                    "optimized states:\nData1Index = 1\n");
        } else {
            EXPECT_EQ(be.Data1Index, 2);
            EXPECT_EQ(be.msg.str(), "Back end (BE) model based on step response data.\n"
                                    "For the selected EQ states, the eye is closed.\n");
        }
        EXPECT_TRUE(be.Finalize());
    }
}

TEST(FrontEnd, FrontEndWordingAndGainOnlyStage)
{
    Table t = makeTable({0.0, 0.2});
    Base_SerDesFE_CTLE fe;
    configure(fe, t);
    fe.Data1Index = 1;
    fe.ImpulseIn = lossyChannel();
    ASSERT_TRUE(fe.Setup());
    ASSERT_TRUE(fe.Initialize());
    EXPECT_EQ(fe.msg.str().find("Front end (FE) model based on step response data.\n"), 0u) << fe.msg.str();

    Base_SerDesTxBE_CTLE be;
    be.SymbolRate = kSymbolRate;
    be.SamplesPerSymbol = kSps;
    be.DefaultModelType = 0;  // gain only
    be.OutputGain = 2.0;
    be.ImpulseIn = {0.0, 0.5, 0.25, 0.0};
    ASSERT_TRUE(be.Setup()) << be.msg.str();
    ASSERT_TRUE(be.Initialize()) << be.msg.str();
    EXPECT_EQ(be.msg.str(), "Back end (BE) model with only AGC used.\nAGC scalar gain = 2\n");
    ASSERT_TRUE(be.Run());
    ASSERT_EQ(be.ImpulseOut.size(), 3u);
    EXPECT_DOUBLE_EQ(be.ImpulseOut[1].imag(), 1.0);
    EXPECT_DOUBLE_EQ(be.ImpulseOut[2].imag(), 0.5);
}

// AGC on: the gain brings the peak-to-peak eye level to AGC_Level; the
// gain is checked against the eye levels measured independently.
TEST(FrontEnd, AutoGainControlLine)
{
    const std::vector<double> a = {0.0, 0.25};
    Table t = makeTable(a);
    Base_SerDesTxBE_CTLE be;
    be.SymbolRate = kSymbolRate;
    be.SamplesPerSymbol = kSps;
    be.DefaultModelType = 3;
    be.NumData1 = t.states;
    be.ColumnArrangement1 = 1;
    be.Data1 = t.get();
    be.AdaptForChannel = 0;
    be.Data1Index = 2;
    be.AutoGainControl = 1;
    be.AGC_Level = 0.8;
    be.ImpulseIn = lossyChannel();
    ASSERT_TRUE(be.Setup()) << be.msg.str();
    ASSERT_TRUE(be.Initialize()) << be.msg.str();
    const std::vector<double> taps = tapsOf(deEmphasisStep(a[1]));
    double bc = 0.0, wc = 0.0;
    ASSERT_TRUE(eyeOf(be.ImpulseIn, taps, &bc, &wc));
    const double gain = wc > 0.0 ? 0.8 / (wc + bc) : 0.8 / bc;
    const std::string text = be.msg.str();
    const std::string key = "To adapt channel+equalizer loss for peak to peak eye level ( 0.8 ), a gain of ";
    ASSERT_NE(text.find(key), std::string::npos) << text;
    EXPECT_NEAR(numberAfter(text, key), 20.0 * std::log10(gain), 1e-4);
    const std::string end = " dB is added at the equalizer output.\n";
    EXPECT_EQ(text.substr(text.size() - end.size()), end);
    ASSERT_TRUE(be.Run());
    const std::vector<double> ref = convolve(be.ImpulseIn, taps);
    double peak = 0.0;
    for (double v : ref)
        peak = std::fmax(peak, std::fabs(v));
    for (size_t i = 0; i < ref.size(); ++i)
        EXPECT_NEAR(be.ImpulseOut[i].imag(), gain * ref[i], 1e-6 * gain * peak) << i;
}

// Two cascaded lists: the count multiplies and both indexes are reported.
TEST(FrontEnd, TwoListCountAndIndexLines)
{
    Table t1 = makeTable({0.0, 0.1, 0.2, 0.3}), t2 = makeTable({0.0, 0.15});
    Base_SerDesTxBE_CTLE be;
    be.SymbolRate = kSymbolRate;
    be.SamplesPerSymbol = kSps;
    be.FEType = 2;
    be.DefaultModelType = 3;
    be.NumData1 = 4;
    be.ColumnArrangement1 = 1;
    be.Data1 = t1.get();
    be.NumData2 = 2;
    be.ColumnArrangement2 = 1;
    be.Data2 = t2.get();
    be.AdaptForChannel = 1;
    be.ImpulseIn = lossyChannel();
    ASSERT_TRUE(be.Setup()) << be.msg.str();
    ASSERT_TRUE(be.Initialize()) << be.msg.str();
    const std::string text = be.msg.str();
    EXPECT_NE(text.find("Optimization of EQ over count = 8 states resulting in "), std::string::npos) << text;
    const RxLTI_StepResp_AMI& s = be.Container->StepResp_AMI;
    const std::string tail = "Data1Index = " + std::to_string(s.Data1Index) +
                             "\nData2Index = " + std::to_string(s.Data2Index) + "\n";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
    EXPECT_EQ(be.Data1Index, s.Data1Index);
    EXPECT_EQ(be.Data2Index, s.Data2Index);
}

TEST(FrontEnd, GetModelImpulse)
{
    const std::vector<double> a = {0.0, 0.3};
    Table t = makeTable(a);
    Base_SerDesFE_CTLE fe;
    configure(fe, t);
    fe.Data1Index = 2;
    fe.ImpulseIn = lossyChannel();
    std::vector<double> imp;
    EXPECT_FALSE(fe.GetModelImpulse(1e-3, imp));
    EXPECT_EQ(fe.msg.str(), "GetModelImpulse failed due to zero rxImpulse array.\n");

    ASSERT_TRUE(fe.Setup());
    ASSERT_TRUE(fe.Initialize());
    imp.assign(200, 99.0);
    ASSERT_TRUE(fe.GetModelImpulse(1e-9, imp));
    EXPECT_EQ(fe.msg.str(), "");
    const std::vector<double> taps = tapsOf(deEmphasisStep(a[1]));
    ASSERT_EQ(imp.size(), taps.size());
    for (size_t i = 0; i < taps.size(); ++i)
        EXPECT_NEAR(imp[i], taps[i], 1e-15) << i;

    // A coarse threshold cuts the small tail of the edge.
    std::vector<double> cut(200, 0.0);
    ASSERT_TRUE(fe.Setup());
    ASSERT_TRUE(fe.Initialize());
    ASSERT_TRUE(fe.GetModelImpulse(0.5, cut));
    double h = 0.0;
    for (double v : taps)
        h = std::fmax(h, std::fabs(v));
    size_t last = 0;
    for (size_t i = 0; i < taps.size(); ++i)
        if (std::fabs(taps[i]) > 0.5 * h)
            last = i;
    EXPECT_EQ(cut.size(), last + 1);

    // After Finalize nothing is built any more.
    fe.Finalize();
    std::vector<double> none(10, 0.0);
    EXPECT_FALSE(fe.GetModelImpulse(1e-3, none));
}

TEST(FrontEnd, RepeatedCyclesGiveTheSameOutput)
{
    Table t = makeTable({0.0, 0.2, 0.4});
    Base_SerDesTxBE_CTLE be;
    be.SymbolRate = kSymbolRate;
    be.SamplesPerSymbol = kSps;
    be.DefaultModelType = 3;
    be.NumData1 = t.states;
    be.ColumnArrangement1 = 1;
    be.Data1 = t.get();
    be.AdaptForChannel = 0;
    be.Data1Index = 2;
    be.ImpulseIn = lossyChannel();
    std::vector<std::complex<double>> first;
    for (int cycle = 0; cycle < 3; ++cycle) {
        ASSERT_TRUE(be.Setup());
        ASSERT_TRUE(be.Initialize());
        ASSERT_TRUE(be.Run());
        if (cycle == 0) {
            first = be.ImpulseOut;
        } else {
            EXPECT_EQ(be.ImpulseOut, first);
        }
        EXPECT_TRUE(be.Finalize());
        EXPECT_TRUE(be.Finalize());  // a second Finalize is harmless
    }
    EXPECT_FALSE(first.empty());
}

// A lent ImpulseIn gives the same cycles as a copied one: the section works
// on the caller's own vector (no copy), ImpulseIn is empty until Finalize,
// and then holds what the section left of the channel, in the same block.
// Cycles refill it as the model's driver does; a second Initialize before
// Finalize takes a copy instead.
TEST(FrontEnd, LentImpulseInGivesTheSameCyclesAndComesBack)
{
    Table t = makeTable({0.0, 0.2, 0.4});
    std::vector<double> channel = lossyChannel();
    channel.resize(channel.size() + 37, 0.0);  // trailing zeros the section trims
    const std::vector<double> trimmed(channel.begin(), channel.end() - 37);
    Base_SerDesTxBE_CTLE copied, lent;
    for (Base_SerDesTxBE_CTLE* be : {&copied, &lent}) {
        be->SymbolRate = kSymbolRate;
        be->SamplesPerSymbol = kSps;
        be->DefaultModelType = 3;
        be->NumData1 = t.states;
        be->ColumnArrangement1 = 1;
        be->Data1 = t.get();
        be->AdaptForChannel = 0;
        be->Data1Index = 2;
    }
    lent.LendImpulseIn = 1;
    for (int cycle = 0; cycle < 2; ++cycle) {
        copied.ImpulseIn = channel;
        lent.ImpulseIn.resize(channel.size());
        std::copy(channel.begin(), channel.end(), lent.ImpulseIn.begin());
        const double* block = lent.ImpulseIn.data();
        for (Base_SerDesTxBE_CTLE* be : {&copied, &lent}) {
            ASSERT_TRUE(be->Setup()) << be->msg.str();
            ASSERT_TRUE(be->Initialize()) << be->msg.str();
            ASSERT_TRUE(be->Run());
        }
        EXPECT_TRUE(lent.ImpulseIn.empty());
        EXPECT_EQ(lent.Container->StepResp_AMI.ChannelImpulse.data(), block);
        EXPECT_EQ(lent.Container->StepResp_AMI.ChannelImpulse, trimmed);
        EXPECT_EQ(copied.ImpulseIn, channel);
        EXPECT_EQ(lent.ImpulseOut, copied.ImpulseOut);
        EXPECT_FALSE(lent.ImpulseOut.empty());
        EXPECT_EQ(lent.msg.str(), copied.msg.str());
        EXPECT_EQ(lent.ChannelSpanUI, copied.ChannelSpanUI);
        EXPECT_EQ(lent.ResponseSpanUI, copied.ResponseSpanUI);
        EXPECT_TRUE(lent.Finalize());
        EXPECT_TRUE(copied.Finalize());
        EXPECT_EQ(lent.ImpulseIn, trimmed);
        EXPECT_EQ(lent.ImpulseIn.data(), block);
        EXPECT_TRUE(lent.Finalize());  // nothing more to take back
        EXPECT_EQ(lent.ImpulseIn, trimmed);
    }

    // Initialize twice without Finalize: the first loan stands, the second
    // Initialize copies what ImpulseIn holds by then.
    lent.ImpulseIn = channel;
    ASSERT_TRUE(lent.Setup());
    ASSERT_TRUE(lent.Initialize());
    lent.ImpulseIn = trimmed;
    ASSERT_TRUE(lent.Setup());
    ASSERT_TRUE(lent.Initialize());
    EXPECT_EQ(lent.ImpulseIn, trimmed);
    ASSERT_TRUE(lent.Run());
    EXPECT_EQ(lent.ImpulseOut, copied.ImpulseOut);
    EXPECT_TRUE(lent.Finalize());
    EXPECT_EQ(lent.ImpulseIn, trimmed);
}

TEST(FrontEnd, EmptyChannelFailsInitializeWithTheCascadeLine)
{
    Table t = makeTable({0.0, 0.2});
    Base_SerDesTxBE_CTLE be;
    be.SymbolRate = kSymbolRate;
    be.SamplesPerSymbol = kSps;
    be.DefaultModelType = 3;
    be.NumData1 = t.states;
    be.ColumnArrangement1 = 1;
    be.Data1 = t.get();
    be.AdaptForChannel = 1;
    ASSERT_TRUE(be.Setup());
    EXPECT_FALSE(be.Initialize());
    EXPECT_NE(be.msg.str().find("ChannelImpulse vector size must be > 0.\n\nERROR:  Front end (FE) model "
                                "generation failed.\n"),
              std::string::npos)
        << be.msg.str();
    EXPECT_TRUE(be.ImpulseOut.empty());
}

}  // namespace
