#include "framework/Base_Container.h"

namespace Veltramodels20200612 {

Base_Container::Base_Container()
{
    Filter.RealPoles = &PoleVector;
    Filter.RealZeros = &ZeroVector;
}

void Base_Container::DeleteBuffers()
{
    std::vector<double>().swap(PoleVector);
    std::vector<double>().swap(ZeroVector);
    // The filter keeps no memory of its own beyond its working vectors;
    // a fresh object in its place drops them and its sample state.
    std::ofstream* useFile = Filter.UseFile;
    Filter = SPolesZeros();
    Filter.UseFile = useFile;
    Filter.RealPoles = &PoleVector;
    Filter.RealZeros = &ZeroVector;
}

}  // namespace Veltramodels20200612
