#ifndef VM_EQ_STATESEARCH_H
#define VM_EQ_STATESEARCH_H

#include <sstream>

namespace Veltramodels20200612 {

// The search an equaliser list of either family runs on its own: every
// state 1 .. count is built and measured against the channel, and the
// strictly largest open-eye ratio (worst-case over best-case upper eye
// level) is kept, so that ties go to the lower index. A zero best-case level
// (a channel or state with no response) gives no ratio and never wins.
class StateSearch {
public:
    // measure(k, &bc, &wc, scratch) builds state k and measures its eye; a
    // false ends the search there, with scratch's lines appended to msg.
    // *ratio starts at -1e40 and *index keeps its value until a state wins;
    // each win writes the state's index, ratio and levels, so that after a
    // failure they hold the best of the states before.
    template <class Measure>
    static bool run(int count, Measure measure, int* index, double* ratio, double* bestBc, double* bestWc,
                    std::stringstream& msg)
    {
        *ratio = -1e40;
        for (int k = 1; k <= count; ++k) {
            std::stringstream scratch;
            double bc = 0.0, wc = 0.0;
            if (!measure(k, &bc, &wc, scratch)) {
                msg << scratch.str();
                return false;
            }
            if (bc != 0.0 && wc / bc > *ratio) {
                *index = k;
                *ratio = wc / bc;
                *bestBc = bc;
                *bestWc = wc;
            }
        }
        return true;
    }
};

}  // namespace Veltramodels20200612

#endif
