#include "framework/Base_SerDesFE_CTLE_Container.h"

namespace Veltramodels20200612 {

namespace {
template <typename T> void release(std::vector<T>& v)
{
    std::vector<T>().swap(v);
}

// The model keeps its own copy of what it hands out, so a section's impulse
// and spectrum vectors can go between cycles; Initialize rebuilds them.
template <typename Section> void releaseBuffers(Section& s)
{
    release(s.ChannelImpulse);
    release(s.OutputImpulse);
    release(s.OutputSpectrum);
    release(s.SectionImpulse);
    release(s.SectionSpectrum);
    release(s.Frequencies);
}
}  // namespace

Base_SerDesFE_CTLE_Container::Base_SerDesFE_CTLE_Container()
    : PZ_Records(nullptr)
{
}

Base_SerDesFE_CTLE_Container::~Base_SerDesFE_CTLE_Container()
{
    DeleteBuffers();
}

void Base_SerDesFE_CTLE_Container::DeleteBuffers()
{
    releaseBuffers(StepResp_AMI);
    releaseBuffers(PZ_AMI);
    PZ_AMI.PZ_data_values1 = nullptr;
    delete[] PZ_Records;
    PZ_Records = nullptr;
}

}  // namespace Veltramodels20200612
