#ifndef VM_PZ_PZ_DATA_H
#define VM_PZ_PZ_DATA_H

#include <complex>
#include <vector>

namespace Veltramodels20200612 {

// One pole/zero data set: a gain with real and complex poles and zeros.
// As read from a pole/zero file the roots are positive magnitudes in rad/s
// (the unit of the file already applied); the sections that use the set turn
// them into left half-plane s-plane roots themselves.
class PZ_Data {
public:
    PZ_Data();

    double gain;                               // as written, no unit scaling
    std::vector<double> poles;                 // real poles, > 0
    std::vector<double> zeros;                 // real zeros, > 0
    std::vector<std::complex<double>> cpoles;  // complex poles, real part > 0
    std::vector<std::complex<double>> czeros;  // complex zeros, real part > 0
};

}  // namespace Veltramodels20200612

#endif
