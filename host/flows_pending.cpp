// The flows that follow start-up. The configuration reader, the configured run, the editor and
// the dialogs are built on top of this start sequence; until each exists the run ends cleanly
// with a log line saying which part it would have entered.
#include "app.h"
#include "flows.h"
#include "config_editor.h"
#include "log.h"

namespace zelfin {

void runConfigEditor() { runConfigEditorDialog(); }
void runConfiguredUpdate() { hostLog("%s(%i) :Configured update is not available in this build", "Zelfin", 404); }

}  // namespace zelfin
