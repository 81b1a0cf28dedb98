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

void SetupChecks::channelAndGrid(const std::vector<double>* channel, double bitRate, int samplesPerBit)
{
    fault(channel == nullptr || channel->empty(), "ChannelImpulse vector size must be > 0.\n");
    fault(!(bitRate > 0.0), "BitRate must be > 0.\n");
    fault(samplesPerBit < 4, "SamplesPerBit must be and integer >= 4.\n");
}

}  // namespace Veltramodels20200612
