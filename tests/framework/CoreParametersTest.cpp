#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "framework/Base_SerDes_CoreParameters.h"

using namespace Veltramodels20200612;

namespace {

TEST(CoreParameters, ConstructorDefaults)
{
    Base_SerDes_CoreParameters c;
    EXPECT_TRUE(c.ImpulseIn.empty());
    EXPECT_TRUE(c.ImpulseOut.empty());
    EXPECT_TRUE(c.EqImpulseOut.empty());
    EXPECT_TRUE(c.ImpulseSpectrumOut.empty());
    EXPECT_TRUE(c.EqSpectrumOut.empty());
    EXPECT_TRUE(c.FrequencyOut.empty());
    EXPECT_EQ(c.SymbolRate, 2.5e10);
    EXPECT_EQ(c.SamplesPerSymbol, 32);
    EXPECT_EQ(c.BlockSize, 1);
    EXPECT_EQ(c.EnablePAM4, 0);
    EXPECT_EQ(c.PAM4_LowerThreshold, -1.0 / 3.0);
    EXPECT_EQ(c.PAM4_CenterThreshold, 0.0);
    EXPECT_EQ(c.PAM4_UpperThreshold, 1.0 / 3.0);
    EXPECT_EQ(c.EnableTxJitter, 0);
    EXPECT_EQ(c.Tx_Rj, 0.0);
    EXPECT_EQ(c.Tx_Dj, 0.0);
    EXPECT_EQ(c.Tx_DCD, 0.0);
    EXPECT_EQ(c.Tx_Sj, 0.0);
    EXPECT_EQ(c.Tx_Sj_Frequency, 1e7);
    EXPECT_EQ(c.EnableRxJitter, 0);
    EXPECT_EQ(c.Rx_Rj, 0.0);
    EXPECT_EQ(c.Rx_Dj, 0.0);
    EXPECT_EQ(c.Rx_DCD, 0.0);
    EXPECT_EQ(c.Rx_Sj, 0.0);
    EXPECT_EQ(c.EnableCorners, 0);
    EXPECT_EQ(c.CornerCase, 0);
    EXPECT_EQ(c.GenerateIBIS_AMI_Model, 0);
    EXPECT_EQ(c.ModelBuilderDirName, nullptr);
    EXPECT_EQ(c.AMI_FoundryDirName, nullptr);
    EXPECT_EQ(c.IBIS_AMI_ModelName, nullptr);
    EXPECT_FALSE(c.CoreParametersChecked);
    EXPECT_FALSE(c.ImpulseOutputOnly);
    EXPECT_FALSE(c.ImpulseValuesOnly);
    EXPECT_EQ(c.ImpulseValues, nullptr);
    EXPECT_EQ(c.ResBW, 0.0);
    EXPECT_EQ(c.msg.str(), "");
    EXPECT_TRUE(c.Setup());
    EXPECT_TRUE(c.Initialize());
    EXPECT_TRUE(c.Run());
    EXPECT_TRUE(c.Finalize());
}

TEST(CoreParameters, DefaultsPassTheChecks)
{
    Base_SerDes_CoreParameters c;
    EXPECT_TRUE(c.setupCoreParameters());
    EXPECT_EQ(c.msg.str(), "");
}

TEST(CoreParameters, SamplingAndBlockLimits)
{
    Base_SerDes_CoreParameters c;
    c.SamplesPerSymbol = 4;
    c.BlockSize = 131072;
    EXPECT_TRUE(c.setupCoreParameters());
    EXPECT_EQ(c.msg.str(), "");

    Base_SerDes_CoreParameters d;
    d.SamplesPerSymbol = 3;
    d.BlockSize = 131073;
    EXPECT_FALSE(d.setupCoreParameters());
    EXPECT_EQ(d.msg.str(), "SamplesPerSymbol must be >= 4.\n"
                           "BlockSize must be an integer in the range [1, 131072].\n");

    Base_SerDes_CoreParameters e;
    e.BlockSize = 0;
    EXPECT_FALSE(e.setupCoreParameters());
    EXPECT_EQ(e.msg.str(), "BlockSize must be an integer in the range [1, 131072].\n");
}

TEST(CoreParameters, EveryFaultWrittenInOrderAndChecksGoOn)
{
    Base_SerDes_CoreParameters c;
    c.SymbolRate = 0.0;
    c.SamplesPerSymbol = 2;
    c.ResBW = -1.0;
    c.BlockSize = -5;
    c.EnablePAM4 = -1;
    c.EnableTxJitter = 3;
    c.EnableRxJitter = -2;
    c.EnableCorners = 2;
    c.GenerateIBIS_AMI_Model = 7;
    EXPECT_FALSE(c.setupCoreParameters());
    EXPECT_EQ(c.msg.str(), "SymbolRate must be > 0.\n"
                           "SamplesPerSymbol must be >= 4.\n"
                           "ResBW must be > 0.\n"
                           "BlockSize must be an integer in the range [1, 131072].\n"
                           "EnablePAM4 must be either 0 or 1.\n"
                           "EnableTxJitter must be 0, 1 or 2.\n"
                           "EnableRxJitter must be 0, 1 or 2.\n"
                           "EnableCorners must be either 0 or 1.\n"
                           "GenerateIBIS_AMI_Model must be 0 or 1.\n");
}

TEST(CoreParameters, NegativeSymbolRateAndZeroResBW)
{
    Base_SerDes_CoreParameters c;
    c.SymbolRate = -1e9;
    c.ResBW = 0.0;
    EXPECT_FALSE(c.setupCoreParameters());
    EXPECT_EQ(c.msg.str(), "SymbolRate must be > 0.\n");
}

TEST(CoreParameters, Pam4Thresholds)
{
    Base_SerDes_CoreParameters c;
    c.EnablePAM4 = 1;
    c.PAM4_LowerThreshold = 0.2;
    EXPECT_FALSE(c.setupCoreParameters());
    EXPECT_EQ(c.msg.str(), "PAM4_LowerThreshold must be less than PAM4_CenterThreshold.\n");

    Base_SerDes_CoreParameters d;  // the order only matters with PAM4 on
    d.PAM4_LowerThreshold = 0.2;
    EXPECT_TRUE(d.setupCoreParameters());

    Base_SerDes_CoreParameters e;
    e.EnablePAM4 = 2;
    EXPECT_FALSE(e.setupCoreParameters());
    EXPECT_EQ(e.msg.str(), "EnablePAM4 must be either 0 or 1.\n");
}

TEST(CoreParameters, TxJitterInUnitIntervalsBecomesSeconds)
{
    Base_SerDes_CoreParameters c;
    c.EnableTxJitter = 2;
    c.Tx_Dj = 0.1;
    c.Tx_Rj = 0.01;
    c.Tx_DCD = 0.02;
    c.Tx_Sj = 0.05;
    EXPECT_TRUE(c.setupCoreParameters());
    EXPECT_EQ(c.EnableTxJitter, 1);
    EXPECT_DOUBLE_EQ(c.Tx_Dj, 4e-12);
    EXPECT_DOUBLE_EQ(c.Tx_Rj, 4e-13);
    EXPECT_DOUBLE_EQ(c.Tx_DCD, 8e-13);
    EXPECT_DOUBLE_EQ(c.Tx_Sj, 2e-12);
    // A second check finds the converted values and changes nothing.
    EXPECT_TRUE(c.setupCoreParameters());
    EXPECT_DOUBLE_EQ(c.Tx_Dj, 4e-12);
    EXPECT_EQ(c.msg.str(), "");
}

TEST(CoreParameters, JitterConversionOnlyAfterCleanChecks)
{
    Base_SerDes_CoreParameters c;
    c.SamplesPerSymbol = 1;
    c.EnableTxJitter = 2;
    c.Tx_Dj = -0.1;  // not examined: no conversion, no term checks
    EXPECT_FALSE(c.setupCoreParameters());
    EXPECT_EQ(c.EnableTxJitter, 2);
    EXPECT_EQ(c.Tx_Dj, -0.1);
    EXPECT_EQ(c.msg.str(), "SamplesPerSymbol must be >= 4.\n");
}

TEST(CoreParameters, JitterOffClearsTerms)
{
    Base_SerDes_CoreParameters c;
    c.Tx_Rj = -3.0;
    c.Rx_Sj = 7.0;
    c.Tx_Sj_Frequency = -1.0;  // not examined while jitter is off
    EXPECT_TRUE(c.setupCoreParameters());
    EXPECT_EQ(c.Tx_Rj, 0.0);
    EXPECT_EQ(c.Rx_Sj, 0.0);
}

TEST(CoreParameters, JitterTermChecks)
{
    Base_SerDes_CoreParameters c;
    c.EnableTxJitter = 1;
    c.Tx_Rj = -1e-12;
    c.Tx_Dj = -1e-12;
    c.Tx_DCD = -1e-12;
    c.Tx_Sj = -1e-12;
    c.Tx_Sj_Frequency = 0.0;
    c.EnableRxJitter = 1;
    c.Rx_Rj = -1e-12;
    c.Rx_Dj = -1e-12;
    c.Rx_DCD = -1e-12;
    c.Rx_Sj = -1e-12;
    EXPECT_FALSE(c.setupCoreParameters());
    EXPECT_EQ(c.msg.str(), "Tx_Rj must be >= 0.\nTx_Dj must be >= 0.\nTx_DCD must be >= 0.\n"
                           "Tx_Sj must be >= 0.\nTx_Sj_Frequency must be > 0.\n"
                           "Rx_Rj must be >= 0.\nRx_Dj must be >= 0.\nRx_DCD must be >= 0.\n"
                           "Rx_Sj must be >= 0.\n");
}

TEST(CoreParameters, RxJitterConversionUsesSymbolRate)
{
    Base_SerDes_CoreParameters c;
    c.SymbolRate = 1e10;
    c.EnableRxJitter = 2;
    c.Rx_Rj = 0.5;
    EXPECT_TRUE(c.setupCoreParameters());
    EXPECT_EQ(c.EnableRxJitter, 1);
    EXPECT_DOUBLE_EQ(c.Rx_Rj, 5e-11);
}

TEST(CoreParameters, CornerChecks)
{
    Base_SerDes_CoreParameters c;
    c.EnableCorners = 1;
    c.CornerCase = 3;
    EXPECT_FALSE(c.setupCoreParameters());
    EXPECT_EQ(c.msg.str(), "CornerCase must be either 0, 1 or 2.\n");

    Base_SerDes_CoreParameters d;
    d.EnableCorners = 1;
    d.CornerCase = -1;
    EXPECT_FALSE(d.setupCoreParameters());
    EXPECT_EQ(d.msg.str(), "CornerCase must be either 0, 1 or 2.\n");

    Base_SerDes_CoreParameters e;
    e.EnableCorners = -1;
    e.CornerCase = 9;
    EXPECT_FALSE(e.setupCoreParameters());
    EXPECT_EQ(e.msg.str(), "EnableCorners must be either 0 or 1.\n");

    Base_SerDes_CoreParameters f;
    f.CornerCase = 9;  // ignored while corners are off
    f.EnableCorners = 0;
    EXPECT_TRUE(f.setupCoreParameters());
}

TEST(CoreParameters, ModelGeneratorNames)
{
    Base_SerDes_CoreParameters c;
    c.GenerateIBIS_AMI_Model = 1;
    EXPECT_FALSE(c.setupCoreParameters());
    EXPECT_EQ(c.msg.str(), "ModelBuilderDirName must not be NULL.\n"
                           "AMI_FoundryDirName must not be NULL.\n"
                           "IBIS_AMI_ModelName must not be NULL.\n");

    char a[] = "a", b[] = "b", n[] = "n";
    Base_SerDes_CoreParameters d;
    d.GenerateIBIS_AMI_Model = 1;
    d.ModelBuilderDirName = a;
    d.AMI_FoundryDirName = b;
    d.IBIS_AMI_ModelName = n;
    EXPECT_TRUE(d.setupCoreParameters());
}

TEST(CoreParameters, CornerDisplay)
{
    const char* expected[] = {"CornerCase = Typical (0)\n", "CornerCase = Slow (1)\n",
                              "CornerCase = Fast (2)\n"};
    for (int k = 0; k < 3; ++k) {
        Base_SerDes_CoreParameters c;
        c.CornerCase = k;
        c.displayCornerCase();
        EXPECT_EQ(c.msg.str(), expected[k]);
    }
    for (int k : {-1, 3, 4, 100}) {
        Base_SerDes_CoreParameters c;
        c.CornerCase = k;
        c.displayCornerCase();
        EXPECT_EQ(c.msg.str(), "");
    }
}

TEST(CoreParameters, RealOutputsGetTheirTimes)
{
    Base_SerDes_CoreParameters c;
    c.SymbolRate = 1e10;
    c.SamplesPerSymbol = 20;
    std::vector<double> imp = {0.5, 0.25, -0.125, 2.0};
    std::vector<double> eq = {1.0, -1.0};
    std::vector<std::complex<double>> s1 = {{1, 2}}, s2 = {{3, 4}, {5, 6}};
    std::vector<double> f = {0.0, 1e9};
    c.setupLTI_Outputs(imp, eq, s1, s2, f);
    ASSERT_EQ(c.ImpulseOut.size(), 4u);
    EXPECT_DOUBLE_EQ(c.ImpulseOut[3].real(), 1.5e-11);
    EXPECT_EQ(c.ImpulseOut[3].real(), 3.0 / 1e10 / 20.0);
    for (size_t i = 0; i < imp.size(); ++i)
        EXPECT_EQ(c.ImpulseOut[i].imag(), imp[i]);
    ASSERT_EQ(c.EqImpulseOut.size(), 2u);
    EXPECT_EQ(c.EqImpulseOut[1], std::complex<double>(1.0 / 1e10 / 20.0, -1.0));
    EXPECT_EQ(c.ImpulseSpectrumOut, s1);
    EXPECT_EQ(c.EqSpectrumOut, s2);
    EXPECT_EQ(c.FrequencyOut, f);

    // A shorter second output replaces the first completely.
    c.setupLTI_Outputs(std::vector<double>{7.0}, eq, s1, s2, f);
    ASSERT_EQ(c.ImpulseOut.size(), 1u);
    EXPECT_EQ(c.ImpulseOut[0], std::complex<double>(0.0, 7.0));
}

// Every time of a long output, at rates whose quotients round, is the two
// divisions in their order, and every value is the sample: the vector
// forms of the loop (and its tail of fewer than four) change no bit.
TEST(CoreParameters, LongOutputsGetTheTimesOfTwoDivisions)
{
    for (const double rate : {12.8e9, 7.3e9, 1.0 / 3.0e-11}) {
        for (const int sps : {32, 37}) {
            Base_SerDes_CoreParameters c;
            c.SymbolRate = rate;
            c.SamplesPerSymbol = sps;
            c.ImpulseOutputOnly = true;
            std::vector<double> imp(1003);
            for (size_t i = 0; i < imp.size(); ++i)
                imp[i] = std::sin(0.01 * static_cast<double>(i)) - 0.5;
            c.setupLTI_Outputs(imp, {}, {}, {}, {});
            ASSERT_EQ(c.ImpulseOut.size(), imp.size());
            for (size_t i = 0; i < imp.size(); ++i) {
                ASSERT_EQ(c.ImpulseOut[i].real(), static_cast<double>(i) / rate / static_cast<double>(sps))
                    << "sample " << i << ", rate " << rate << ", " << sps << " samples per symbol";
                ASSERT_EQ(c.ImpulseOut[i].imag(), imp[i]) << "sample " << i;
            }
        }
    }
}

TEST(CoreParameters, ImpulseOnlyKeepsOtherOutputs)
{
    Base_SerDes_CoreParameters c;
    std::vector<std::complex<double>> s = {{1, 1}};
    c.setupLTI_Outputs(std::vector<double>{1.0}, std::vector<double>{2.0}, s, s, std::vector<double>{9.0});
    c.ImpulseOutputOnly = true;
    c.setupLTI_Outputs(std::vector<double>{3.0, 4.0}, std::vector<double>{}, {}, {}, std::vector<double>{});
    ASSERT_EQ(c.ImpulseOut.size(), 2u);
    EXPECT_EQ(c.ImpulseOut[1].imag(), 4.0);
    ASSERT_EQ(c.EqImpulseOut.size(), 1u);
    EXPECT_EQ(c.EqImpulseOut[0].imag(), 2.0);
    EXPECT_EQ(c.ImpulseSpectrumOut, s);
    EXPECT_EQ(c.EqSpectrumOut, s);
    EXPECT_EQ(c.FrequencyOut, std::vector<double>{9.0});
}

TEST(CoreParameters, ValuesOnlyPointsAtTheImpulseAndLeavesThePairs)
{
    Base_SerDes_CoreParameters c;
    c.SymbolRate = 1e10;
    c.SamplesPerSymbol = 20;
    const std::vector<double> first = {1.0, 2.0};
    c.setupLTI_Outputs(first, {}, {}, {}, {});
    EXPECT_EQ(c.ImpulseValues, nullptr);
    ASSERT_EQ(c.ImpulseOut.size(), 2u);

    // Values only: the pairs keep the earlier impulse, the view is the new
    // one itself (not a copy), the other outputs are stored as usual.
    c.ImpulseValuesOnly = true;
    const std::vector<double> second = {3.0, 4.0, 5.0};
    const std::vector<double> eq = {7.0};
    c.setupLTI_Outputs(second, eq, {}, {}, {});
    EXPECT_EQ(c.ImpulseValues, &second);
    ASSERT_EQ(c.ImpulseOut.size(), 2u);
    EXPECT_EQ(c.ImpulseOut[1], std::complex<double>(1.0 / 1e10 / 20.0, 2.0));
    ASSERT_EQ(c.EqImpulseOut.size(), 1u);
    EXPECT_EQ(c.EqImpulseOut[0].imag(), 7.0);

    // Pairs cannot be viewed as values: they go into ImpulseOut, no view.
    const std::vector<std::complex<double>> pairs = {{0.0, 9.0}};
    c.setupLTI_Outputs(pairs, {}, {}, {}, {});
    EXPECT_EQ(c.ImpulseValues, nullptr);
    EXPECT_EQ(c.ImpulseOut, pairs);

    // Switched off again, the pairs are built and the view is gone.
    c.setupLTI_Outputs(second, {}, {}, {}, {});
    EXPECT_NE(c.ImpulseValues, nullptr);
    c.ImpulseValuesOnly = false;
    c.setupLTI_Outputs(second, {}, {}, {}, {});
    EXPECT_EQ(c.ImpulseValues, nullptr);
    ASSERT_EQ(c.ImpulseOut.size(), 3u);
    EXPECT_EQ(c.ImpulseOut[2].imag(), 5.0);
}

TEST(CoreParameters, ComplexOutputsCopiedPairByPair)
{
    Base_SerDes_CoreParameters c;
    c.SymbolRate = 1e10;  // ignored: the pairs carry their own times
    std::vector<std::complex<double>> imp = {{1e-9, 0.5}, {3e-9, -0.5}};
    std::vector<std::complex<double>> eq = {{0.0, 1.0}};
    std::vector<std::complex<double>> s = {{-3, 45}};
    c.setupLTI_Outputs(imp, eq, s, s, std::vector<double>{0.0});
    EXPECT_EQ(c.ImpulseOut, imp);
    EXPECT_EQ(c.EqImpulseOut, eq);
    EXPECT_EQ(c.EqSpectrumOut, s);

    Base_SerDes_CoreParameters d;
    d.ImpulseOutputOnly = true;
    d.setupLTI_Outputs(imp, eq, s, s, std::vector<double>{0.0});
    EXPECT_EQ(d.ImpulseOut, imp);
    EXPECT_TRUE(d.EqImpulseOut.empty());
    EXPECT_TRUE(d.FrequencyOut.empty());
}

TEST(DeembeddingFilter, NormalisedSymmetricLowPass)
{
    Base_SerDes_CoreParameters c;
    ASSERT_EQ(deembeddingFilter.size(), static_cast<size_t>(NumDeembedingFilterTaps));
    ASSERT_EQ(NumDeembedingFilterTaps, 214);
    double sum = 0.0, rawSum = 0.0;
    for (int i = 0; i < NumDeembedingFilterTaps; ++i) {
        sum += deembeddingFilter[i];
        rawSum += DeembedingFilterTaps[i];
        EXPECT_EQ(deembeddingFilter[i], deembeddingFilter[213 - i]) << i;
    }
    EXPECT_NEAR(sum, 1.0, 1e-12);
    for (int i = 0; i < NumDeembedingFilterTaps; ++i)
        EXPECT_DOUBLE_EQ(deembeddingFilter[i], DeembedingFilterTaps[i] / rawSum);
    // Largest taps in the middle; the gain falls off towards half the sample rate.
    EXPECT_EQ(deembeddingFilter[106], deembeddingFilter[107]);
    for (int i = 0; i < NumDeembedingFilterTaps; ++i)
        EXPECT_LE(deembeddingFilter[i], deembeddingFilter[106]);
    double nyquistGain = 0.0;
    for (int i = 0; i < NumDeembedingFilterTaps; ++i)
        nyquistGain += (i % 2 ? -1.0 : 1.0) * deembeddingFilter[i];
    EXPECT_LT(std::fabs(nyquistGain), 1e-4);
}

TEST(DeembeddingFilter, ConcurrentConstructionSeesOneFilling)
{
    std::vector<double> before;
    {
        Base_SerDes_CoreParameters c;
        before = deembeddingFilter;
    }
    const double* data = deembeddingFilter.data();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([] {
            for (int k = 0; k < 50; ++k) {
                Base_SerDes_CoreParameters c;
                c.setupCoreParameters();
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(deembeddingFilter, before);
    EXPECT_EQ(deembeddingFilter.data(), data);  // never refilled
}

TEST(BufferParameter, ReadsNameAndValueLines)
{
    std::stringstream in("SymbolRate,2.5e10\nMode,PAM4 x\n");
    char buffer[1024];
    std::stringstream out, messages;
    EXPECT_TRUE(getBufferParameter(&in, buffer, "SymbolRate", "TxModelParamIn", out, messages));
    EXPECT_EQ(out.str(), "2.5e10");
    std::stringstream out2;
    EXPECT_TRUE(getBufferParameter(&in, buffer, "Mode", "TxModelParamIn", out2, messages));
    EXPECT_EQ(out2.str(), "PAM4 x");
    EXPECT_EQ(messages.str(), "");
}

TEST(BufferParameter, WrongOrMissingNameFails)
{
    std::stringstream in("SymbolRateX,1\n");
    char buffer[1024];
    std::stringstream out, messages;
    EXPECT_FALSE(getBufferParameter(&in, buffer, "SymbolRate", "RxModelParamIn", out, messages));
    EXPECT_EQ(messages.str(), "RxModelParamIn missing SymbolRate.\n");
    EXPECT_EQ(out.str(), "");

    std::stringstream empty, m2;
    EXPECT_FALSE(getBufferParameter(&empty, buffer, "A", "Buf", out, m2));
    EXPECT_EQ(m2.str(), "Buf missing A.\n");

    std::stringstream m3;
    EXPECT_FALSE(getBufferParameter(nullptr, nullptr, "A", "Buf", out, m3));
    EXPECT_EQ(m3.str(), "Buf missing A.\n");

    // A name longer than the buffer is cut at 1023 characters and cannot match.
    std::string longName(2000, 'n');
    std::stringstream longIn(longName + ",1\n"), m4;
    EXPECT_FALSE(getBufferParameter(&longIn, buffer, longName.c_str(), "Buf", out, m4));
    EXPECT_EQ(m4.str(), "Buf missing " + longName + ".\n");
}

}  // namespace
