#include "eq/SectionSetup.h"

namespace Veltramodels20200612 {

void SectionSetup::checkCommon(const Fields& f, bool listsPastFEType, SetupChecks& check,
                               std::stringstream& msg)
{
    check.fault(f.InputGain == 0.0, "ERROR:  Front end InputGain must not be zero.\n");
    // Settings checked against a small range are taken as unsigned, so a
    // negative value fails as well.
    check.fault(static_cast<unsigned>(f.AdaptForOutputLevel) > 3u,
                "ERROR:  Front end AdaptForOutputLevel must be an integer in the range [0, 3].\n");
    check.fault(static_cast<unsigned>(f.AdaptDataIndex) > 1u,
                "ERROR:  Front end AdaptDataIndex must be either 0 or 1.\n");
    check.fault(!(f.TxDataLevelPtoP > 0.0), "ERROR:  Front end TxDataLevelPtoP must be > 0.\n");
    check.fault(static_cast<unsigned>(f.FEType) > 4u,
                "ERROR:  Front end FEType must be an integer in the range [0, 4].\n");
    if (f.FEType >= 1) {
        check.fault(f.counts[0] < 0, "ERROR:  Front end NumData1 must be >= 0.\n");
        if (check.fault(f.counts[0] > 0 && (f.indexes[0] < 1 || f.indexes[0] > f.counts[0])))
            msg << "ERROR:  Front end Data1Index must be an integer in the range [1, " << f.counts[0]
                << "].\n";
    }
    for (int n = 2; n <= 4; ++n) {
        const int count = f.counts[n - 1], index = f.indexes[n - 1];
        if (!(f.FEType >= n && (f.FEType <= 4 || (listsPastFEType && n < 4))))
            continue;
        if (check.fault(count <= 0))
            msg << "ERROR:  Front end NumData" << n << " must be > 0.\n";
        if (check.fault(index < 1 || index > count))
            msg << "ERROR:  Front end Data" << n << "Index must be an integer in the range [1, " << count
                << "].\n";
    }
}

void SectionSetup::dropUnusedLists(int feType, int* numData2, int* numData3, int* numData4)
{
    if (feType <= 1)
        *numData2 = 0;
    if (feType <= 2)
        *numData3 = 0;
    if (feType <= 3)
        *numData4 = 0;
}

}  // namespace Veltramodels20200612
