#pragma once

#include <optional>
#include <string>

namespace kv::platform {

enum class MessageIcon { None, Information, Warning, Error, Question };
enum class MessageButtons { Ok, YesNo, YesNoCancel };
enum class MessageAnswer { Ok, Yes, No, Cancel };

// What a box that could not be shown answers: the choice that changes
// nothing.
constexpr MessageAnswer answerWhenNotShown(MessageButtons buttons) {
  switch (buttons) {
    case MessageButtons::YesNoCancel:
      return MessageAnswer::Cancel;
    case MessageButtons::YesNo:
      return MessageAnswer::No;
    case MessageButtons::Ok:
      break;
  }
  return MessageAnswer::Ok;
}

// Whether a box is owned by the main window (centred over it, modal to it) or
// stands alone.
enum class MessageOwner { MainWindow, None };

// A file chosen in a dialog, or nothing when the player cancelled or the
// dialog could not be shown.
using ChosenPath = std::optional<std::string>;

// Modal message boxes and file dialogs. While one runs on the main thread the
// main window keeps being painted and ignores input.
class Dialogs {
 public:
  virtual ~Dialogs() = default;

  // Shows a modal box and waits for the answer. May be called from any
  // thread; from a worker it blocks only that worker. A box that cannot be
  // shown answers Cancel (YesNoCancel), No (YesNo) or Ok.
  virtual MessageAnswer messageBox(MessageOwner owner, const std::string& text,
                                   const std::string& title, MessageButtons buttons,
                                   MessageIcon icon) = 0;

  // The save dialog with a title, a proposed file name and one file type
  // filter (e.g. "ZIP File", "*.zip"). Main thread only.
  virtual ChosenPath chooseSaveFile(const std::string& title, const std::string& defaultName,
                                    const std::string& typeName, const std::string& pattern) = 0;

  // The open dialog with a title and one file type filter. Main thread only.
  // A path that does not exist is reported as a cancel by the caller.
  virtual ChosenPath chooseOpenFile(const std::string& title, const std::string& typeName,
                                    const std::string& pattern) = 0;
};

}  // namespace kv::platform
