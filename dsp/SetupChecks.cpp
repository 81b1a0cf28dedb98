#include "dsp/SetupChecks.h"

namespace Veltramodels20200612 {

SetupChecks::SetupChecks(std::stringstream& msg)
    : msg_(msg)
{
}

bool SetupChecks::fault(bool isFault, const char* text)
{
    if (isFault) {
        ok_ = false;
        if (text != nullptr)
            msg_ << text;
    }
    return isFault;
}

}  // namespace Veltramodels20200612
