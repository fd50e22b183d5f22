// The name of the file that receives a reader's old firmware before a download.
#pragma once
#include "app.h"

namespace zelfin {

// With `backup` on: "<work folder>\<ddMMMyyyy>_<h>h<m>m<s>s.bin" of today's date in the user's
// locale and the local time without leading zeros; with it off: empty (no backup). False when the
// name does not fit, so that a cut name never sends the backup somewhere else.
bool buildBackupFileName(char (&out)[kTextSize]);

}  // namespace zelfin
