#include "console_dialogs.h"

#include <string>

#include "printable_text.h"

namespace kv::tools {

platform::MessageAnswer ConsoleDialogs::messageBox(platform::MessageOwner, const std::string& text,
                                                   const std::string& title, platform::MessageButtons buttons,
                                                   platform::MessageIcon) {
  std::string line = title + ": " + text;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  line = printableText(line) + '\n';
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stream_);
    std::fflush(stream_);
  }
  switch (buttons) {
    case platform::MessageButtons::Ok: return platform::MessageAnswer::Ok;
    case platform::MessageButtons::YesNo: return platform::MessageAnswer::No;
    case platform::MessageButtons::YesNoCancel: return platform::MessageAnswer::Cancel;
  }
  return platform::MessageAnswer::Ok;
}

platform::ChosenPath ConsoleDialogs::chooseSaveFile(const std::string&, const std::string&,
                                                    const std::string&, const std::string&) {
  return std::nullopt;
}

platform::ChosenPath ConsoleDialogs::chooseOpenFile(const std::string&, const std::string&,
                                                    const std::string&) {
  return std::nullopt;
}

}  // namespace kv::tools
