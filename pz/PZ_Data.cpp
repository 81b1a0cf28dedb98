#include "pz/PZ_Data.h"

namespace Veltramodels20200612 {

PZ_Data::PZ_Data()
    : gain(0.0)
{
}

}  // namespace Veltramodels20200612
