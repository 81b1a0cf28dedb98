#include "framework/Base_SerDesFE_CTLE_Container.h"

namespace Veltramodels20200612 {

namespace {
template <typename T>
void release(std::vector<T>& v)
{
    std::vector<T>().swap(v);
}
} // namespace

Base_SerDesFE_CTLE_Container::Base_SerDesFE_CTLE_Container() = default;

Base_SerDesFE_CTLE_Container::~Base_SerDesFE_CTLE_Container()
{
    DeleteBuffers();
}

void Base_SerDesFE_CTLE_Container::DeleteBuffers()
{
    // The model keeps its own copy of what it hands out, so the section's
    // impulse and spectrum vectors can go between cycles; Initialize rebuilds
    // them.
    release(StepResp_AMI.ChannelImpulse);
    release(StepResp_AMI.OutputImpulse);
    release(StepResp_AMI.OutputSpectrum);
    release(StepResp_AMI.SectionImpulse);
    release(StepResp_AMI.SectionSpectrum);
    release(StepResp_AMI.Frequencies);
}

} // namespace Veltramodels20200612
