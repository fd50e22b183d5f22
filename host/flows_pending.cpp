// The flows that follow start-up. The device information and the interactive dialog are built on
// top of this start sequence; until each exists the run ends cleanly with a log line saying which
// part it would have entered.
#include "app.h"
#include "flows.h"
#include "config_editor.h"
#include "log.h"

namespace zelfin {

void runConfigEditor() { runConfigEditorDialog(); }
void runDeviceInfo() { hostLog("%s(%i) :Device information is not available in this build", "Zelfin", 403); }
void runInteractive() { hostLog("%s(%i) :Interactive update is not available in this build", "Zelfin", 405); }

}  // namespace zelfin
