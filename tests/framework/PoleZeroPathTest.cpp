#include <gtest/gtest.h>

#include <cmath>

#include "framework/Base_SerDesFE_CTLE_Container.h"
#include "framework/Base_SerDesTxBE_CTLE.h"
#include "pz/CTLE.h"
#include "tests/framework/FrameworkTestData.h"

using namespace Veltramodels20200612;
using namespace fwtest;

namespace {

constexpr double kTwoPi = 2.0 * 3.14159265358979323846;

// A back end with pole/zero sets given directly: set k is a gain g_k with
// one real pole at p_k (and a zero/pole pair for the second set).
void poleZeroModel(Base_SerDesTxBE_CTLE& be, int adapt)
{
    be.SymbolRate = kSymbolRate;
    be.SamplesPerSymbol = kSps;
    be.ModelType = 2;
    be.NumData1 = 2;
    be.AdaptForChannel = adapt;
    be.Data1Index = 2;
    be.G_Data1 = {0.9, 1.1};
    be.PZ_Data1 = new std::vector<std::complex<double>>[2];
    be.PZ_Data1[0] = {{-kTwoPi * 8e9, 0.0}, {0.0, 0.0}, {0.0, 0.0}};
    be.PZ_Data1[1] = {{kTwoPi * 2e9, 0.0}, {-kTwoPi * 6e9, 0.0}, {-kTwoPi * 12e9, kTwoPi * 3e9}};
    be.ImpulseIn = lossyChannel(240, 2.0);
}

TEST(PoleZeroPath, RecordsFromSetsAndGainAtZeroHz)
{
    Base_SerDesTxBE_CTLE be;
    poleZeroModel(be, 0);
    ASSERT_TRUE(be.Setup()) << be.msg.str();
    const PZ_Data* r = be.Container->PZ_Records;
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(be.Container->PZ_AMI.PZ_data_values1, r);
    EXPECT_EQ(r[0].gain, 0.9);
    ASSERT_EQ(r[0].poles.size(), 1u);
    EXPECT_EQ(r[0].poles[0], kTwoPi * 8e9);
    EXPECT_TRUE(r[0].zeros.empty());
    EXPECT_EQ(r[1].gain, 1.1);
    EXPECT_EQ(r[1].zeros, std::vector<double>{kTwoPi * 2e9});
    EXPECT_EQ(r[1].poles, std::vector<double>{kTwoPi * 6e9});
    ASSERT_EQ(r[1].cpoles.size(), 1u);
    EXPECT_EQ(r[1].cpoles[0], std::complex<double>(kTwoPi * 12e9, kTwoPi * 3e9));
    EXPECT_TRUE(r[1].czeros.empty());
    EXPECT_EQ(be.Container->PZ_AMI.Data1Index, 2);

    ASSERT_TRUE(be.Initialize()) << be.msg.str();
    EXPECT_EQ(be.msg.str(), "Back end (BE) model based on set of poles and zeros data.\n");
    ASSERT_TRUE(be.Run());
    // The set's gain is its gain at 0 Hz: the output sums to channel x gain.
    double in = 0.0, out = 0.0;
    for (double v : be.ImpulseIn)
        in += v;
    for (const auto& p : be.ImpulseOut)
        out += p.imag();
    EXPECT_NEAR(out, 1.1 * in, 1e-3 * in);
    EXPECT_TRUE(be.Finalize());
    EXPECT_EQ(be.Container->PZ_Records, nullptr);

    // The sets stay with the model: a second cycle runs again.
    ASSERT_TRUE(be.Setup()) << be.msg.str();
    ASSERT_TRUE(be.Initialize()) << be.msg.str();
    ASSERT_TRUE(be.Run());
    double out2 = 0.0;
    for (const auto& p : be.ImpulseOut)
        out2 += p.imag();
    EXPECT_DOUBLE_EQ(out2, out);
}

TEST(PoleZeroPath, SearchReportsTheChosenSet)
{
    Base_SerDesTxBE_CTLE be;
    poleZeroModel(be, 1);
    ASSERT_TRUE(be.Setup()) << be.msg.str();
    EXPECT_EQ(be.Container->PZ_AMI.Data1Index, 1);
    ASSERT_TRUE(be.Initialize()) << be.msg.str();
    const std::string text = be.msg.str();
    const std::string head = "Back end (BE) model based on set of poles and zeros data.\n"
                             "Optimization of EQ over count = 2 states resulting in ";
    ASSERT_EQ(text.substr(0, head.size()), head) << text;
    const RxLTI_PZ_AMI& p = be.Container->PZ_AMI;
    EXPECT_EQ(be.Data1Index, p.Data1Index);
    const std::string tail = "Data1Index = " + std::to_string(p.Data1Index) + "\n";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    if (p.BestEyeRatio > 0.0) {
        EXPECT_NEAR(numberAfter(text, "max open eye ratio = "), p.BestEyeRatio, 1e-5 * p.BestEyeRatio);
    } else {
        EXPECT_NE(text.find("closed eye with optimized states:\n"), std::string::npos);
    }
}

// The pole/zero section borrows a lent ImpulseIn as the step-response
// section does, with the same results as a copy.
TEST(PoleZeroPath, LentImpulseInGivesTheSameOutput)
{
    Base_SerDesTxBE_CTLE copied, lent;
    poleZeroModel(copied, 1);
    poleZeroModel(lent, 1);
    lent.LendImpulseIn = 1;
    const std::vector<double> channel = lent.ImpulseIn;
    const double* block = lent.ImpulseIn.data();
    for (Base_SerDesTxBE_CTLE* be : {&copied, &lent}) {
        ASSERT_TRUE(be->Setup()) << be->msg.str();
        ASSERT_TRUE(be->Initialize()) << be->msg.str();
        ASSERT_TRUE(be->Run());
    }
    EXPECT_TRUE(lent.ImpulseIn.empty());
    EXPECT_EQ(lent.Container->PZ_AMI.ChannelImpulse.data(), block);
    EXPECT_EQ(lent.ImpulseOut, copied.ImpulseOut);
    EXPECT_EQ(lent.msg.str(), copied.msg.str());
    EXPECT_EQ(lent.ResponseSpanUI, copied.ResponseSpanUI);
    EXPECT_TRUE(lent.Finalize());
    EXPECT_EQ(lent.ImpulseIn.data(), block);
    EXPECT_EQ(lent.ImpulseIn, channel);  // no trailing zeros to trim
}

TEST(PoleZeroPath, MissingSetsFailSetup)
{
    Base_SerDesFE_CTLE fe;
    fe.ModelType = 2;
    fe.NumData1 = 2;
    EXPECT_FALSE(fe.Setup());
    EXPECT_EQ(fe.msg.str(), "PZ_Data1 array must not be empty.\n");

    std::vector<std::complex<double>> sets[2] = {{{-1e9, 0.0}}, {{-2e9, 0.0}}};
    Base_SerDesFE_CTLE g;
    g.ModelType = 2;
    g.NumData1 = 2;
    g.PZ_Data1 = sets;
    g.G_Data1 = {1.0};
    EXPECT_FALSE(g.Setup());
    EXPECT_EQ(g.msg.str(), "G_Data1 array size must equal 2.\n");
}

// Peaking list: each state's zero and two poles come from the CTLE designer
// (in GHz) and are stored in rad/s.
TEST(PoleZeroPath, PeakingListRecords)
{
    Base_SerDesTxBE_CTLE be;
    be.SymbolRate = kSymbolRate;
    be.SamplesPerSymbol = kSps;
    be.ModelType = 1;
    be.PeakingModel = 0;
    be.FPeak = 5e9;
    be.NumData1 = 2;
    be.AdaptForChannel = 0;
    be.Data1Index = 1;
    be.dBPeakList = {3.0, 6.5};
    be.ImpulseIn = lossyChannel(240, 2.0);
    ASSERT_TRUE(be.Setup()) << be.msg.str();
    const PZ_Data* r = be.Container->PZ_Records;
    ASSERT_NE(r, nullptr);
    for (int i = 0; i < 2; ++i) {
        CTLE ref;
        ref.BitRate = kSymbolRate;
        ref.SamplesPerBit = kSps;
        ref.DataType = 1;
        ref.FPeak = 5e9;
        ref.dB_Peak = be.dBPeakList[i];
        std::stringstream m;
        ASSERT_TRUE(ref.Setup(nullptr, m));
        EXPECT_EQ(r[i].gain, 1.0);
        ASSERT_EQ(r[i].poles.size(), 2u);
        EXPECT_DOUBLE_EQ(r[i].poles[0], kTwoPi * 1e9 * ref.P1);
        EXPECT_DOUBLE_EQ(r[i].poles[1], kTwoPi * 1e9 * ref.P2);
        ASSERT_EQ(r[i].zeros.size(), 1u);
        EXPECT_DOUBLE_EQ(r[i].zeros[0], kTwoPi * 1e9 * ref.Z);
    }
    ASSERT_TRUE(be.Initialize()) << be.msg.str();
    EXPECT_EQ(be.msg.str().find("Back end (BE) model based on list of peaking data.\n"), 0u) << be.msg.str();
}

TEST(PoleZeroPath, PeakingDesignerFailures)
{
    Base_SerDesFE_CTLE fe;
    fe.ModelType = 1;
    fe.PeakingModel = 0;
    fe.NumData1 = 1;
    fe.dBPeakList = {80.0};  // beyond the designer's table
    EXPECT_FALSE(fe.Setup());
    const std::string text = fe.msg.str();
    const std::string end = "\nERROR:  Generating peaking filter poles and zero failed.\n";
    ASSERT_GE(text.size(), end.size());
    EXPECT_EQ(text.substr(text.size() - end.size()), end) << text;

    Base_SerDesFE_CTLE shortList;
    shortList.ModelType = 1;
    shortList.NumData1 = 3;
    shortList.dBPeakList = {3.0};
    EXPECT_FALSE(shortList.Setup());
    EXPECT_EQ(shortList.msg.str(), "dBPeakList array size must equal NumData1 ( 3 ).\n");

    Base_SerDesFE_CTLE tx;
    tx.ModelType = 1;
    tx.PeakingModel = 1;
    tx.NumData1 = 2;
    tx.vPeakList = {0.1};
    EXPECT_FALSE(tx.Setup());
    EXPECT_EQ(tx.msg.str(), "vPeakList array size must equal NumData1 ( 2 ).\n");

    Base_SerDesFE_CTLE txChecks;
    txChecks.ModelType = 1;
    txChecks.PeakingModel = 1;
    txChecks.NumData1 = 2;
    txChecks.vPeakList = {0.1, 0.9};
    txChecks.vWidth = 0.01;
    txChecks.vWidthMode = 3;
    EXPECT_FALSE(txChecks.Setup());
    EXPECT_EQ(txChecks.msg.str(), "vPeakList data members must be a value in the range [0, 0.65].\n"
                                  "vWidth must be a value in the range [0.02, 0.4].\n"
                                  "vWidthMode must be an integer in the range [0, 1].\n");
}

}  // namespace
