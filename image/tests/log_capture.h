// The image tests collect what the image code logs with the shared capture.
#pragma once
#include <plugin-api/kpl.h>

#include "../../tests/support/log_capture.h"

namespace imagetest {

using testsupport::allLogged;
using testsupport::captureLog;
using testsupport::logged;
using testsupport::loggedMessage;
using testsupport::messageOf;

}  // namespace imagetest
