#include "pz/FIRwMultiplePZLists.h"

namespace Veltramodels20200612 {

const FIRwMultiplePZLists::Fields FIRwMultiplePZLists::kFields = {
    {&FIRwMultiplePZLists::EQ1_NumData, &FIRwMultiplePZLists::EQ2_NumData, &FIRwMultiplePZLists::EQ3_NumData,
     &FIRwMultiplePZLists::EQ4_NumData},
    {&FIRwMultiplePZLists::EQ1_DataIndex, &FIRwMultiplePZLists::EQ2_DataIndex,
     &FIRwMultiplePZLists::EQ3_DataIndex, &FIRwMultiplePZLists::EQ4_DataIndex},
    &FIRwMultiplePZLists::AdaptDataIndex,
    &FIRwMultiplePZLists::AdaptDataIndexType,
    &kPoleZeroCascadeTexts};

// EQ1's state array must always be set, even without states; a bad search
// type ends Setup at once; the other arrays only when their list is in use.
bool FIRwMultiplePZLists::checkTypeAndTables(SetupChecks& check, std::stringstream& msg)
{
    const bool eq1Missing =
        check.fault(EQ1_Data_data_values == nullptr, "EQ1_Data_data_values vector size must be > 0.\n");
    if (check.fault(static_cast<unsigned>(AdaptDataIndexType) > 1u,
                    "AdaptDataIndexType must be either 0 or 1.\n"))
        return false;
    if (eq1Missing || !check.ok())
        return false;
    PZImpulse* arrays[4] = {EQ1_Data_data_values, EQ2_Data_data_values, EQ3_Data_data_values,
                            EQ4_Data_data_values};
    return laterListsHaveTables([&](int n) { return arrays[n - 1] == nullptr; }, "Data_data_values", msg);
}

bool FIRwMultiplePZLists::SetupEQ(int n, int index, std::stringstream& msg)
{
    FIRwPZList* list = EQList(n);
    if (list == nullptr)
        return false;
    PZImpulse* arrays[4] = {EQ1_Data_data_values, EQ2_Data_data_values, EQ3_Data_data_values,
                            EQ4_Data_data_values};
    list->DataIndex = index;
    list->NumData = NumData(n);
    list->PZ_data = arrays[n - 1];
    list->ChannelImpulse = &ListChannel;
    list->BitRate = BitRate;
    list->SamplesPerBit = SamplesPerBit;
    list->SuppressMessages = 1;
    list->AdaptDataIndex = 0;
    // The cascade does the choosing and the gain; the list only holds taps.
    list->AdaptForChLoss = 0;
    list->Gain_dB = 0.0;
    if (n == 1 && EQ1_NumData == 0)
        return true;
    return list->Setup(UseFile, msg);
}

void FIRwMultiplePZLists::DeleteBuffers() {}

void FIRwMultiplePZLists::Restart()
{
    for (int n = 1; n <= 4; ++n) {
        if (NumData(n) <= 0)
            continue;
        FIRwPZList* list = EQList(n);
        if (list->ImpulseResponse.empty())
            continue;
        list->Filter.Initialize();
        list->SampleCount = 0;
    }
    SampleCount = 0;
}

}  // namespace Veltramodels20200612
