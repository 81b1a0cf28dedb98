#ifndef VM_MODEL_TXSTEPRESPONSELIST_H
#define VM_MODEL_TXSTEPRESPONSELIST_H

#include <vector>

namespace Veltramodels20200612 {

// Access to the compiled-in driver step-response tables by process corner
// ("CornerCase" 0 Typical, 1 Slow, 2 Fast, 3 Leakage, 4 TempInv), and the
// expansion of one table into the step-response list the model reads.
class TxStepResponseList {
public:
    static constexpr int NumCorners = 5;
    static constexpr int NumColumns = 17;  // time + 16 pre-emphasis states

    // Row count of the corner's table; 0 for a corner outside 0..4.
    static int Rows(int cornerCase);
    // The corner's table, row-major with NumColumns values per row; null for a
    // corner outside 0..4.
    static const double* Table(int cornerCase);
    // "Typical", "Slow", "Fast", "Leakage", "TempInv"; "" for any other value.
    static const char* CornerName(int cornerCase);

    // Allocates (array new) NumColumns vectors of Rows(cornerCase) values,
    // vector i holding column i minus its first value, so that every vector
    // starts at exactly 0. Returns null for a corner outside 0..4. May throw
    // std::bad_alloc; the caller owns the result and frees it with Destroy.
    static std::vector<double>* Create(int cornerCase);
    // Frees a list made by Create and sets the pointer to null. Null is fine.
    static void Destroy(std::vector<double>*& list);
};

}  // namespace Veltramodels20200612

#endif
