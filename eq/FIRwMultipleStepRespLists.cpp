#include "eq/FIRwMultipleStepRespLists.h"

namespace Veltramodels20200612 {

const FIRwMultipleStepRespLists::Fields FIRwMultipleStepRespLists::kFields = {
    {&FIRwMultipleStepRespLists::EQ1_NumStepResp, &FIRwMultipleStepRespLists::EQ2_NumStepResp,
     &FIRwMultipleStepRespLists::EQ3_NumStepResp, &FIRwMultipleStepRespLists::EQ4_NumStepResp},
    {&FIRwMultipleStepRespLists::EQ1_StepRespIndex, &FIRwMultipleStepRespLists::EQ2_StepRespIndex,
     &FIRwMultipleStepRespLists::EQ3_StepRespIndex, &FIRwMultipleStepRespLists::EQ4_StepRespIndex},
    &FIRwMultipleStepRespLists::AdaptStepRespIndex,
    &FIRwMultipleStepRespLists::AdaptStepRespIndexType,
    &kStepResponseCascadeTexts};

FIRwMultipleStepRespLists::~FIRwMultipleStepRespLists() {}

// The search type, then the tables: EQ1's must always have a first column
// with values, even without states; the others only when their list is in use.
bool FIRwMultipleStepRespLists::checkTypeAndTables(SetupChecks& check, std::stringstream& msg)
{
    check.fault(static_cast<unsigned>(AdaptStepRespIndexType) > 1u,
                "AdaptStepRespIndexType must be either 0 or 1.\n");
    auto missing = [](std::vector<double>** table) {
        return table == nullptr || *table == nullptr || (*table)[0].empty();
    };
    if (missing(EQ1_StepResp_data_values)) {
        msg << "EQ1_StepResp_data_values vector size must be > 0.\n";
        return false;
    }
    if (!check.ok())
        return false;
    std::vector<double>** tables[4] = {EQ1_StepResp_data_values, EQ2_StepResp_data_values,
                                       EQ3_StepResp_data_values, EQ4_StepResp_data_values};
    return laterListsHaveTables([&](int n) { return missing(tables[n - 1]); }, "StepResp_data_values", msg);
}

bool FIRwMultipleStepRespLists::SetupEQ(int n, int index, std::stringstream& msg)
{
    FIRwStepRespList* list = EQList(n);
    if (list == nullptr)
        return false;
    std::vector<double>** tables[4] = {EQ1_StepResp_data_values, EQ2_StepResp_data_values,
                                       EQ3_StepResp_data_values, EQ4_StepResp_data_values};
    const int arrangement[4] = {EQ1_ColumnArrangement, EQ2_ColumnArrangement, EQ3_ColumnArrangement,
                                EQ4_ColumnArrangement};
    list->StepRespIndex = index;
    list->SuppressMessages = 1;
    list->ChannelImpulse = &ListChannel;
    list->BitRate = BitRate;
    list->SamplesPerBit = SamplesPerBit;
    list->InterpolationType = InterpolationType;
    list->NumStepResp = NumStepResp(n);
    list->StepResp_data_values = tables[n - 1];
    list->ColumnArrangement = arrangement[n - 1];
    // The section does the choosing and the gain; the list only holds taps.
    list->AdaptStepRespIndex = 0;
    list->AdaptForLogicLevel = 0;
    list->OutputStepRespData = 0;
    list->Gain_dB = 0.0;
    if (n == 1 && EQ1_NumStepResp < 1)
        return true;
    return list->Setup(nullptr, msg);
}

}  // namespace Veltramodels20200612
