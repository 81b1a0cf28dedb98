// Where the two front-end sections part, checked over both: the rules an
// FEType above 4 brings, and the ratio a failed cascade leaves behind.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "eq/RxLTI_StepResp_AMI.h"
#include "pz/RxLTI_PZ_AMI.h"

using namespace Veltramodels20200612;

namespace {

template <class Section> struct Family;

template <> struct Family<RxLTI_StepResp_AMI> {
    // Lists 2 and 3 are still checked past FEType 4.
    static constexpr const char* feTypeFive =
        "ERROR:  Front end FEType must be an integer in the range [0, 4].\n"
        "ERROR:  Front end NumData2 must be > 0.\n"
        "ERROR:  Front end Data2Index must be an integer in the range [1, 0].\n"
        "ERROR:  Front end NumData3 must be > 0.\n"
        "ERROR:  Front end Data3Index must be an integer in the range [1, 0].\n";
    static constexpr const char* missingTable = "EQ1_StepResp_data_values vector size must be > 0.\n";
    // A failed cascade leaves the section's ratio as it was.
    static constexpr double ratioAfterFailure = 0.0;
};

template <> struct Family<RxLTI_PZ_AMI> {
    static constexpr const char* feTypeFive =
        "ERROR:  Front end FEType must be an integer in the range [0, 4].\n";
    static constexpr const char* missingTable = "EQ1_Data_data_values vector size must be > 0.\n";
    // The section takes the cascade's ratio even from a failed cascade: its
    // initial -1e40 here.
    static constexpr double ratioAfterFailure = -1e40;
};

template <class Section> class SectionFamilies : public ::testing::Test {
};

using Sections = ::testing::Types<RxLTI_StepResp_AMI, RxLTI_PZ_AMI>;
TYPED_TEST_SUITE(SectionFamilies, Sections);

TYPED_TEST(SectionFamilies, FETypeAboveFourAndTheListsItStillChecks)
{
    TypeParam s;
    s.FEType = 5;
    std::stringstream msg;
    EXPECT_FALSE(s.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), Family<TypeParam>::feTypeFive);
}

TYPED_TEST(SectionFamilies, CascadeWithoutItsTableFailsAndLeavesTheFamilysRatio)
{
    TypeParam s;
    s.BitRate = 10e9;
    s.SamplesPerBit = 16;
    s.ChannelImpulse = {0.0, 4e9, 2e9, 1e9};
    s.FEType = 1;
    s.NumData1 = 2;
    s.SuppressMessages = 1;
    std::stringstream msg;
    ASSERT_TRUE(s.Setup(nullptr, msg)) << msg.str();
    EXPECT_FALSE(s.Initialize(msg));
    EXPECT_EQ(msg.str(), std::string(Family<TypeParam>::missingTable) +
                             "\nERROR:  Front end (FE) model generation failed.\n");
    EXPECT_EQ(s.BestEyeRatio, Family<TypeParam>::ratioAfterFailure);
    EXPECT_EQ(s.Data1Index, 1);
    // Nothing was built: Run refuses.
    s.Input = 1.0;
    EXPECT_FALSE(s.Run(msg));
    EXPECT_EQ(s.Output, 0.0);
}

}  // namespace
