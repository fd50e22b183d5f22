// "/CE": the configuration editor is the whole run.
#include "config_editor.h"
#include "flows.h"

namespace zelfin {

void runConfigEditor() { runConfigEditorDialog(); }

}  // namespace zelfin
