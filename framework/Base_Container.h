#ifndef VM_FRAMEWORK_BASE_CONTAINER_H
#define VM_FRAMEWORK_BASE_CONTAINER_H

#include <vector>

#include "pz/SPolesZeros.h"

namespace Veltramodels20200612 {

// Working objects of the transmitter peaking designer: the designed pole and
// zero frequencies in Hz, and the pole/zero filter that realises them on the
// simulation grid (Hz, pre-warped bilinear transform).
class Base_Container {
public:
    Base_Container();

    // The filter points into this object's own lists.
    Base_Container(const Base_Container&) = delete;
    Base_Container& operator=(const Base_Container&) = delete;

    // Empties the frequency lists and resets the filter. Safe to repeat.
    void DeleteBuffers();

    std::vector<double> PoleVector;  // Hz, ascending
    std::vector<double> ZeroVector;  // Hz
    SPolesZeros Filter;              // reads PoleVector and ZeroVector
};

}  // namespace Veltramodels20200612

#endif
