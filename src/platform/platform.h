#pragma once

#include "platform/audio.h"
#include "platform/canvas.h"
#include "platform/dialogs.h"
#include "platform/machine.h"
#include "platform/shell.h"
#include "platform/window.h"

namespace kv::platform {

// Every operating-system facility the launcher uses, as one set of
// references. The real backend and the fake backend of the tests both hand
// out one of these.
struct Platform {
  Window& window;
  Dialogs& dialogs;
  Shell& shell;
  Machine& machine;
  Audio& audio;
  Graphics& graphics;
};

}  // namespace kv::platform
