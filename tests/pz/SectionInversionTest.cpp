// Both front-end sections hand their cascade a positive-going channel: a
// channel and its negative give the same chosen states and messages, and
// output impulses that are exact negatives, also where the search is
// sequential (two lists), which measures its trials as built.

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "eq/RxLTI_StepResp_AMI.h"
#include "pz/PZ_Data.h"
#include "pz/RxLTI_PZ_AMI.h"

using namespace Veltramodels20200612;

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kBitRate = 10e9;
constexpr int kSpb = 16;

// Step-response section: two lists of driver-like steps, list 1 with growing
// overshoot, list 2 with shrinking overshoot.
struct StepSection {
    using Section = RxLTI_StepResp_AMI;
    std::vector<std::vector<double>> cols[2];
    std::vector<double>* slots[2] = {nullptr, nullptr};
    void configure(Section& s)
    {
        for (int n = 0; n < 2; ++n) {
            const int rows = 80;
            const double dt = 10e-12;
            cols[n].assign(5, std::vector<double>(rows));
            for (int j = 0; j < rows; ++j) {
                const double t = j * dt;
                cols[n][0][j] = t;
                for (int k = 0; k < 4; ++k) {
                    const double e = n == 0 ? 0.2 * k : 0.15 * (3 - k);
                    cols[n][k + 1][j] = (1.0 - std::exp(-t / 20e-12)) * (1.0 + e * std::exp(-t / 150e-12));
                }
            }
            slots[n] = cols[n].data();
        }
        s.StepResp_data_values1 = &slots[0];
        s.StepResp_data_values2 = &slots[1];
        s.ColumnArrangement1 = s.ColumnArrangement2 = 1;
    }
};

// Pole/zero section: two lists of peaking sets, the zero moving down in list
// 1 and up in list 2.
struct PoleZeroSection {
    using Section = RxLTI_PZ_AMI;
    std::vector<PZ_Data> records[2];
    void configure(Section& s)
    {
        for (int n = 0; n < 2; ++n) {
            records[n].resize(4);
            for (int k = 0; k < 4; ++k) {
                records[n][k].gain = 1.0;
                records[n][k].poles = {kTwoPi * 7e9, kTwoPi * 20e9};
                records[n][k].zeros = {kTwoPi * (n == 0 ? 5e9 - 1e9 * k : 2e9 + 1e9 * k)};
            }
        }
        s.PZ_data_values1 = records[0].data();
        s.PZ_data_values2 = records[1].data();
    }
};

template <class T> class SectionInversion : public ::testing::Test {
};

using SectionKinds = ::testing::Types<StepSection, PoleZeroSection>;
TYPED_TEST_SUITE(SectionInversion, SectionKinds);

TYPED_TEST(SectionInversion, NegativeChannelGivesTheSameChoiceAndTheNegativeOutput)
{
    std::vector<double> channel(6, 0.0);
    for (int i = 0; i < 40 * kSpb; ++i) {
        const double x = i / (0.9 * kSpb);
        channel.push_back(x * std::exp(-x) + 0.03 * std::exp(-x / 8.0));
    }
    std::string messages[2];
    int chosen[2][2];
    std::vector<double> outputs[2];
    for (int sign = 0; sign < 2; ++sign) {
        TypeParam kind;
        typename TypeParam::Section s;
        kind.configure(s);
        s.BitRate = kBitRate;
        s.SamplesPerBit = kSpb;
        s.FEType = 2;
        s.NumData1 = 4;
        s.NumData2 = 4;
        s.AdaptDataIndex = 1;
        s.SkipSpectrum = 1;
        s.ChannelImpulse = channel;
        if (sign == 1)
            for (double& v : s.ChannelImpulse)
                v = -v;
        std::stringstream msg;
        ASSERT_TRUE(s.Setup(nullptr, msg)) << msg.str();
        ASSERT_TRUE(s.Initialize(msg)) << msg.str();
        messages[sign] = msg.str();
        chosen[sign][0] = s.Data1Index;
        chosen[sign][1] = s.Data2Index;
        outputs[sign] = s.OutputImpulse;
    }
    EXPECT_EQ(messages[1], messages[0]);
    EXPECT_EQ(chosen[1][0], chosen[0][0]);
    EXPECT_EQ(chosen[1][1], chosen[0][1]);
    ASSERT_EQ(outputs[1].size(), outputs[0].size());
    for (size_t i = 0; i < outputs[0].size(); ++i)
        ASSERT_EQ(outputs[1][i], -outputs[0][i]) << i;
    // The case is meant to exercise the sequential search away from its start.
    EXPECT_NE(messages[0].find("cycles"), std::string::npos) << messages[0];
    EXPECT_FALSE(chosen[0][0] == 1 && chosen[0][1] == 1);
}

}  // namespace
