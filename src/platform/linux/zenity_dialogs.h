#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/dialogs.h"

namespace kv::platform::linux_backend {

// Which file dialog to show.
enum class FileDialogKind { Save, Open };

// The program's arguments for a file dialog: "--file-selection", "--save",
// "--confirm-overwrite" (an existing file is replaced only after the
// player agrees) and "--filename=" + defaultName for saving, and one filter
// "--file-filter=" + typeName + " | " + pattern; with a parent window
// (its X window id, not 0) also "--attach=" + the id in decimal, so the
// window manager keeps the dialog above the launcher.
std::vector<std::string> fileDialogArguments(FileDialogKind kind, const std::string& defaultName,
                                             const std::string& typeName,
                                             const std::string& pattern,
                                             unsigned long parentWindow = 0);

// Runs the dialog program (found through PATH unless it contains a '/')
// with arguments, its standard output read through a pipe, with
// NO_AT_BRIDGE=1 and GSETTINGS_BACKEND=memory in its environment, and waits
// for it. Answers its output without the trailing newline; nothing when it
// could not start, exits with a status other than 0, answers nothing, or,
// for Open, answers a path that does not exist. Main thread (it blocks);
// whileWaiting, when set, is called about every 15 ms until the program ends
// with the program's process id.
ChosenPath runFileDialog(const std::string& program, FileDialogKind kind,
                         const std::vector<std::string>& arguments,
                         const std::function<void(int pid)>& whileWaiting = {});

}  // namespace kv::platform::linux_backend
