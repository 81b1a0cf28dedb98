#ifndef VM_FRAMEWORK_BASE_SERDESFE_CTLE_H
#define VM_FRAMEWORK_BASE_SERDESFE_CTLE_H

#include <complex>
#include <sstream>
#include <vector>

#include "framework/Base_SerDes_CoreParameters.h"

namespace Veltramodels20200612 {

class Base_SerDesFE_CTLE_Container;
class PZ_Data;

// The framework's equaliser model. It turns the equaliser description of its
// fields (FEType, ModelType and the data lists) into an LTI section held in
// its container (the step-response section, or the pole/zero section for
// FEType 1 with ModelType 1, peaking list, or 2, pole/zero sets), passes the core's ImpulseIn through that
// section and hands the section's outputs to setupLTI_Outputs. It serves as a receiver front end (FrontEnd =
// 1) and, through Base_SerDesTxBE_CTLE, as a transmitter back end (FrontEnd = 0); FrontEnd only changes the
// wording of the status lines.
//
// Every list n has four data slots, pointers to arrays of column vectors:
// DataN_Selected (the table in use), DataN (typical corner), DataN_Slow and
// DataN_Fast. The lists behind the slots are lent by the caller and never
// freed here; the section reads the Selected slot through its address, so it
// sees whatever the slot holds when the table is used. The only lists this
// object owns are those made by setupSpecResp_Data1; they live until the
// model is destroyed, because slots of the caller's back end may refer to them.
class Base_SerDesFE_CTLE : public Base_SerDes_CoreParameters {
public:
    Base_SerDesFE_CTLE();
    ~Base_SerDesFE_CTLE();

    Base_SerDesFE_CTLE(const Base_SerDesFE_CTLE&) = delete;
    Base_SerDesFE_CTLE& operator=(const Base_SerDesFE_CTLE&) = delete;

    bool Setup();
    bool Initialize();
    bool Run();
    bool Finalize();
    void DeleteBuffers();

    // Converts the spectrum list in Data1_Selected (vector 0 frequency, state
    // k's real and imaginary parts in vectors 2k-1 and 2k) into a step-response
    // list (vector 0 time, vector k the step of state k) owned by this object,
    // and puts it in Data1_Selected. The caller's spectrum list is left alone.
    bool setupSpecResp_Data1();

    // Fills impulse (its length sets the sample count) with the built section's
    // own impulse response and cuts it after the last sample above
    // threshold x the largest magnitude.
    bool GetModelImpulse(double threshold, std::vector<double>& impulse);

    // The numbered fields of list n (1..4) of a model class, as member
    // pointers, so that the four lists are handed on in one loop. Model names
    // the class whose fields are meant: a derived model's own fields hide the
    // front end's fields of the same name.
    template <class Model> struct ListFields {
        int Model::*NumData;
        int Model::*DataIndex;
        int Model::*ColumnArrangement;
        std::vector<double>* Model::*Selected;
        std::vector<double>* Model::*Typical;
        std::vector<double>* Model::*Slow;
        std::vector<double>* Model::*Fast;
    };
    template <class Model> static ListFields<Model> listFields(int n)
    {
        switch (n) {
        case 1:
            return {&Model::NumData1, &Model::Data1Index, &Model::ColumnArrangement1, &Model::Data1_Selected,
                    &Model::Data1,    &Model::Data1_Slow, &Model::Data1_Fast};
        case 2:
            return {&Model::NumData2, &Model::Data2Index, &Model::ColumnArrangement2, &Model::Data2_Selected,
                    &Model::Data2,    &Model::Data2_Slow, &Model::Data2_Fast};
        case 3:
            return {&Model::NumData3, &Model::Data3Index, &Model::ColumnArrangement3, &Model::Data3_Selected,
                    &Model::Data3,    &Model::Data3_Slow, &Model::Data3_Fast};
        default:
            return {&Model::NumData4, &Model::Data4Index, &Model::ColumnArrangement4, &Model::Data4_Selected,
                    &Model::Data4,    &Model::Data4_Slow, &Model::Data4_Fast};
        }
    }

    int ChannelSpanUI;
    int ResponseSpanUI;
    int FrontEnd;  // 1 front end, 0 back end
    int FEType;
    int ModelType;
    int Data1Index;
    int Data2Index;
    int Data3Index;
    int Data4Index;
    int AutoGainControl;
    double AGC_Level;
    int AdaptForChannel;
    double OutputGain;
    int NumData1;
    int PeakingModel;
    double vWidth;
    int vWidthMode;
    std::vector<double> vPeakList;
    double FPeak;
    std::vector<double> dBPeakList;
    std::vector<std::complex<double>>* PZ_Data1;  // not owned here (the back end owns it)
    std::vector<double> G_Data1;
    int ColumnArrangement1;
    std::vector<double>* Data1_Selected;
    std::vector<double>* Data1;
    std::vector<double>* Data1_Slow;
    std::vector<double>* Data1_Fast;
    int NumData2;
    int ColumnArrangement2;
    std::vector<double>* Data2_Selected;
    std::vector<double>* Data2;
    std::vector<double>* Data2_Slow;
    std::vector<double>* Data2_Fast;
    int SectionTopology;
    int AdaptSectionRatio;
    std::vector<double> Section1RatioList;
    double Section1Ratio;
    int NumData3;
    int ColumnArrangement3;
    std::vector<double>* Data3_Selected;
    std::vector<double>* Data3;
    std::vector<double>* Data3_Slow;
    std::vector<double>* Data3_Fast;
    int NumData4;
    int ColumnArrangement4;
    std::vector<double>* Data4_Selected;
    std::vector<double>* Data4;
    std::vector<double>* Data4_Slow;
    std::vector<double>* Data4_Fast;
    int SkipSpectrum;
    int SkipFinalEvaluation;
    // For a caller that fills ImpulseIn afresh for every cycle: when nonzero,
    // Initialize hands ImpulseIn's samples to the section instead of copying
    // them (a long channel is then neither copied nor held twice), and
    // Finalize takes the vector back. In between ImpulseIn is empty; after
    // Finalize it holds what the section left of the channel (trimmed, for
    // instance), with its room kept for the next cycle.
    int LendImpulseIn;
    Base_SerDesFE_CTLE_Container* Container;  // one element, array new

private:
    // The section's channel vector that holds ImpulseIn's samples while they
    // are lent; null otherwise.
    std::vector<double>* lentTo;
    // Gives the section's channel the samples of ImpulseIn (lent or copied)
    // and returns their count.
    std::size_t handChannel(std::vector<double>& channel);
    // Step-response lists made by setupSpecResp_Data1 (array new).
    std::vector<std::vector<double>*> ownedLists;

    void selectTable(std::vector<double>*& selected, std::vector<double>* typical, std::vector<double>* slow,
                     std::vector<double>* fast);
    bool usesStepRespSection() const;
    // Pole/zero section paths (FEType 1 with ModelType 1 or 2).
    bool setupPoleZero();
    bool initializePoleZero();
    bool buildPeakingRecords(PZ_Data* records);
};

}  // namespace Veltramodels20200612

#endif
