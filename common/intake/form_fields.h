// The fields of a list page's form: the removals chosen ("choice") and the
// upload fields ("newfile", "newfile01" ... "newfile255").
#pragma once

#include <string>

namespace intake {

// The number of upload fields a form may have.
inline constexpr int kUploadFields = 256;

// The name of upload field `index`: "newfile", then "newfile01" ...
std::string UploadFieldName(int index);

// Whether the request has any upload field (the URL field "newfile2" is not
// one): a page request has none, and its fields need not be looked up.
bool HasUploadFields();

// The "choice" values name positions in the list as the page showed it,
// before this request removed anything.

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
