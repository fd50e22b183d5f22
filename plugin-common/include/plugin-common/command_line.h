// What the host's command line tells a plug-in.
#pragma once

// True when "/IV" stands anywhere on the process's command line, in any case: the operator asks
// for an image's integrity check to be skipped and the device checks to be relaxed.
bool IgnoreChecksRequested();
