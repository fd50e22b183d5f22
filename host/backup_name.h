// Where the old firmware of a reader is kept before a configured download overwrites it.
#pragma once
#include "app.h"

namespace zelfin {

// Fills the row's backupFileName: "<tempDir>\<ddMMMyyyy>_<h>h<m>m<s>s.bin" with the locale's
// date and the local time, empty when backups are off. Two readers updated within the same
// second must not share a backup, so a name that exists already gets "_2", "_3", ... before
// ".bin". False (logged, the name left empty) when the name does not fit: the row must then not
// be downloaded, since its old firmware could not be kept.
bool makeBackupName(DownloadEntry& row);

}  // namespace zelfin
