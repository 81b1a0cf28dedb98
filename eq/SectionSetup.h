#ifndef VM_EQ_SECTIONSETUP_H
#define VM_EQ_SECTIONSETUP_H

#include <sstream>

#include "dsp/SetupChecks.h"

namespace Veltramodels20200612 {

// The parameter rules both front-end sections (step-response and pole/zero)
// open their Setup with: gains and levels, the adaptation switches, FEType
// and, for every list FEType puts in use, its count and index.
class SectionSetup {
public:
    struct Fields {
        double InputGain;
        int AdaptForOutputLevel;
        int AdaptDataIndex;
        double TxDataLevelPtoP;
        int FEType;
        int counts[4];   // NumData1 ... NumData4
        int indexes[4];  // Data1Index ... Data4Index
    };
    // listsPastFEType: an FEType above 4 still has lists 2 and 3 checked
    // (the step-response section), or none (the pole/zero section).
    static void checkCommon(const Fields& f, bool listsPastFEType, SetupChecks& check,
                            std::stringstream& msg);
    // Lists beyond FEType are not in use: their counts become 0.
    static void dropUnusedLists(int feType, int* numData2, int* numData3, int* numData4);
};

}  // namespace Veltramodels20200612

#endif
