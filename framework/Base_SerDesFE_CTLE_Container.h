#ifndef VELTRAMODELS20200612_BASE_SERDESFE_CTLE_CONTAINER_H
#define VELTRAMODELS20200612_BASE_SERDESFE_CTLE_CONTAINER_H

#include "eq/RxLTI_StepResp_AMI.h"

namespace Veltramodels20200612 {

// The LTI sections of a front-end model. The step-response section serves
// step-response data, a plain gain or AGC stage and cascades of two to four
// lists.
class Base_SerDesFE_CTLE_Container {
public:
    Base_SerDesFE_CTLE_Container();
    ~Base_SerDesFE_CTLE_Container();

    Base_SerDesFE_CTLE_Container(const Base_SerDesFE_CTLE_Container&) = delete;
    Base_SerDesFE_CTLE_Container& operator=(const Base_SerDesFE_CTLE_Container&) = delete;

    // Releases the sample buffers of the previous cycle. Safe to call
    // repeatedly; the section's settings stay.
    void DeleteBuffers();

    RxLTI_StepResp_AMI StepResp_AMI;
};

} // namespace Veltramodels20200612

#endif
