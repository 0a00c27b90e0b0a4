// Removals chosen on a list page: the "choice" values name positions in the
// list as the page showed it, before this request removed anything.
#pragma once

namespace intake {

// How a position is lowered for the entries removed before it:
//   kByValueIndex: the k-th value (from 0, counting every value) is lowered
//                  by k;
//   kByRemoved:    each value is lowered by the entries already removed, so
//                  values that name nothing do not count.
// Both keep positions that arrive in ascending order (as browsers send them)
// right.
enum class ChoiceShift { kByValueIndex, kByRemoved };

// Removes the chosen entries from the process-wide table (ATT_ListRemove);
// values that are not a base-10 number or name no entry are ignored. Answers
// the number removed.
int RemoveChosen(ChoiceShift shift);

}  // namespace intake
