// The plug-in's options, read from the "Options" section of the host's configuration file at the
// start of a scan.
#pragma once

namespace tarn {

// The options of the file into the plug-in's state: each YES sets its bit, which stays set while
// the plug-in is loaded; the retry count is recomputed (attempts: RETRIES + 1, 2 without the key,
// -1 with the retry-forever flag for RETRIES -1).
void ReadOptions(const char* configPath);

}  // namespace tarn
