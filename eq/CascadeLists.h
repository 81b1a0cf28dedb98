#ifndef VM_EQ_CASCADELISTS_H
#define VM_EQ_CASCADELISTS_H

#include <sstream>
#include <vector>

#include "eq/ListCascade.h"

namespace Veltramodels20200612 {

// The numbered members of a cascade of either list family, reached through
// one table instead of a switch per member: the lists EQ1 ... EQ4 and, per
// list, its count of states and chosen index, beside the two search
// switches and the family's texts. The lists are EQ1 ... EQ4 in both
// families; for the rest a cascade, deriving from it beside its ListCascade
// (Derived is the cascade), provides
//   static const CascadeLists<Derived, ListType>::Fields kFields;
// which is what the engine's hooks stateCount, stateIndex, adaptIndex,
// adaptIndexType and texts read; tapsOf is every list's Taps().
template <class Derived, class ListType> class CascadeLists {
public:
    struct Fields {
        int Derived::*counts[4];   // EQn_<count>
        int Derived::*indexes[4];  // EQn_<index>
        int Derived::*adapt;       // 1 = search the states
        int Derived::*adaptType;   // 0 exhaustive, 1 sequential
        const ListCascadeTexts* texts;
    };

    // List n (1..4); null for any other n.
    ListType* EQList(int n)
    {
        static ListType Derived::*const lists[4] = {&Derived::EQ1, &Derived::EQ2, &Derived::EQ3,
                                                    &Derived::EQ4};
        return isList(n) ? &(self().*lists[n - 1]) : nullptr;
    }

protected:
    CascadeLists() = default;

    // Number of states of list n (1..4), 0 otherwise.
    int stateCount(int n) const { return isList(n) ? self().*Derived::kFields.counts[n - 1] : 0; }
    // The index of list n; any n but 2, 3 and 4 stands for EQ1.
    int& stateIndex(int n) { return self().*Derived::kFields.indexes[(n >= 2 && n <= 4) ? n - 1 : 0]; }
    int adaptIndex() const { return self().*Derived::kFields.adapt; }
    int adaptIndexType() const { return self().*Derived::kFields.adaptType; }
    static const ListCascadeTexts& texts() { return *Derived::kFields.texts; }
    static const std::vector<double>& tapsOf(ListType& list) { return list.Taps(); }

    // Every list from EQ2 on that is in use has its table (missing(n) false);
    // else the first one without is reported as EQn_<tableName>.
    template <class Missing>
    bool laterListsHaveTables(Missing missing, const char* tableName, std::stringstream& msg) const
    {
        for (int n = 2; n <= 4; ++n) {
            if (stateCount(n) >= 1 && missing(n)) {
                msg << "EQ" << n << "_" << tableName << " vector size must be > 0.\n";
                return false;
            }
        }
        return true;
    }

private:
    static bool isList(int n) { return n >= 1 && n <= 4; }
    Derived& self() { return static_cast<Derived&>(*this); }
    const Derived& self() const { return static_cast<const Derived&>(*this); }
};

// The texts of the two families' cascades side by side.
inline const ListCascadeTexts kStepResponseCascadeTexts = {"Veltramodels20200612::FIRwStepRespList\n",
                                                           "StepRespIndex",
                                                           "NumStepResp",
                                                           "AdaptStepRespIndex",
                                                           "Sequential optimization of EQ with ",
                                                           "For the selected EQ states the open eye ratio = ",
                                                           false};
inline const ListCascadeTexts kPoleZeroCascadeTexts = {"Veltramodels20200612::FIRwMultiplePZLists\n",
                                                       "DataIndex",
                                                       "NumData",
                                                       "AdaptDataIndex",
                                                       "Optimization of EQ with ",
                                                       "For the selected EQ states, the open eye ratio = ",
                                                       true};

}  // namespace Veltramodels20200612

#endif
