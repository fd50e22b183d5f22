// The host's start routine and its orderly shutdown.
#pragma once

namespace zelfin {

// Runs the start sequence and the one flow of this process.
void startRoutine();
// Releases everything in the order the plug-ins rely on; called once when the run ends.
void shutdown();

}  // namespace zelfin
