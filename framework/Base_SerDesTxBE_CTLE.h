#ifndef VM_FRAMEWORK_BASE_SERDESTXBE_CTLE_H
#define VM_FRAMEWORK_BASE_SERDESTXBE_CTLE_H

#include <complex>
#include <vector>

#include "framework/Base_SerDesFE_CTLE.h"

namespace Veltramodels20200612 {

class SetupChecks;

// Transmitter back-end model: the object a caller creates, fills and runs.
// Its fields carry the equaliser settings under the transmitter's names and
// hide the front-end fields of the same name. Setup checks them once
// (CoreParametersChecked), copies them into the front end and hands over to
// the front end's Setup; Initialize, Run and Finalize forward to the front end
// and copy the chosen state indexes back.
//
// What callers rely on:
//  - Setup runs the checks only while CoreParametersChecked is false. The
//    checks resolve the defaults: a negative ModelType, AdaptForChannel or
//    PeakingModel takes its Default... value, and where that is negative too
//    both become 0. After the first Setup, AdaptForChannel therefore tells
//    whether a state search runs.
//  - Initialize leaves the chosen state of list 1 in Data1Index.
//  - Setting AdaptForChannel to 0 and Data1Index to a state between calls
//    makes the next Setup/Initialize use that state with no search.
//  - The data lists behind the slots (Data1 typical, Data1_Slow, Data1_Fast
//    and those of lists 2-4) are lent; they must live until the last
//    Setup/Initialize that reads them.
class Base_SerDesTxBE_CTLE : public Base_SerDesFE_CTLE {
public:
    Base_SerDesTxBE_CTLE();
    ~Base_SerDesTxBE_CTLE();

    Base_SerDesTxBE_CTLE(const Base_SerDesTxBE_CTLE&) = delete;
    Base_SerDesTxBE_CTLE& operator=(const Base_SerDesTxBE_CTLE&) = delete;

    // The full parameter check; sets CoreParametersChecked whatever the result.
    bool setupModelSpecificParameters();

    bool Setup();
    bool Initialize();
    bool Run();
    bool Finalize();
    // Frees PZ_Data1 (and the front end's buffers). Safe to call repeatedly.
    void DeleteBuffers();

    int FEType;
    int ModelType;
    int DefaultModelType;
    int Data1Index;
    int Data2Index;
    int Data3Index;
    int Data4Index;
    int AutoGainControl;
    double AGC_Level;
    int AdaptForChannel;
    int DefaultAdaptForChannel;
    int EnableCorners;
    int CornerCase;
    double OutputGain;
    int NumData1;  // "TxBE_NumData1" in messages
    int PeakingModel;
    int DefaultPeakingModel;
    double TxBE_vWidth;
    int TxBE_vWidthMode;
    std::vector<double> TxBE_vPeakList;
    double FPeak;
    std::vector<double> dBPeakList;
    std::vector<std::complex<double>>* PZ_Data1;  // NumData1 vectors, array new; owned
    std::vector<double> G_Data1;
    int ColumnArrangement1;
    std::vector<double>* Data1_Selected;
    std::vector<double>* Data1;
    std::vector<double>* Data1_Slow;
    std::vector<double>* Data1_Fast;
    char* PZ_Data1Text;  // pole/zero file name (not owned)
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

private:
    int pzCount;  // vectors in PZ_Data1

    void freePZ_Data1();
    // Reads the pole/zero file (ModelBuilderDirName + "/" + PZ_Data1Text) into
    // G_Data1 and PZ_Data1. Returns false when the file could not be read.
    bool buildPZ_Data1();
    // The checks of setupModelSpecificParameters for each kind's own lists.
    void checkPeakingList(SetupChecks& check);
    void checkPoleZeroSets(SetupChecks& check);
    void checkParallelSections(SetupChecks& check);
    void checkLists2To4(SetupChecks& check);
    bool convertSpectrumData();
    void copyToFrontEnd();
    void copyIndexesBack();
};

}  // namespace Veltramodels20200612

#endif
