#ifndef VM_FRAMEWORK_BASE_SERDESFE_CTLE_CONTAINER_H
#define VM_FRAMEWORK_BASE_SERDESFE_CTLE_CONTAINER_H

#include "eq/RxLTI_StepResp_AMI.h"
#include "pz/PZ_Data.h"
#include "pz/RxLTI_PZ_AMI.h"

namespace Veltramodels20200612 {

// The LTI sections of a front-end model. The step-response section serves
// step-response data, a plain gain or AGC stage and cascades of two to four
// lists; the pole/zero section serves peaking lists and pole/zero sets, from
// the records that the front end builds into PZ_Records.
class Base_SerDesFE_CTLE_Container {
public:
    Base_SerDesFE_CTLE_Container();
    ~Base_SerDesFE_CTLE_Container();

    Base_SerDesFE_CTLE_Container(const Base_SerDesFE_CTLE_Container&) = delete;
    Base_SerDesFE_CTLE_Container& operator=(const Base_SerDesFE_CTLE_Container&) = delete;

    // Frees the pole/zero records and releases the sample buffers of the
    // previous cycle. Safe to call repeatedly; the sections' settings stay.
    void DeleteBuffers();

    RxLTI_StepResp_AMI StepResp_AMI;
    RxLTI_PZ_AMI PZ_AMI;
    PZ_Data* PZ_Records;  // array new, lent to PZ_AMI; null when none
};

}  // namespace Veltramodels20200612

#endif
