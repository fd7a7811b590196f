#pragma once

#include <cstdio>
#include <mutex>

#include "platform/dialogs.h"

namespace kv::tools {

// Message boxes for a program without a display: each box becomes one line
// "title: text" (line ends inside the text become spaces, other control
// characters '?') on the given
// stream, and is answered at once as if the user pressed the safe button:
// Ok for an Ok box, No for Yes/No, Cancel for Yes/No/Cancel. File dialogs
// answer as cancelled. Any thread.
class ConsoleDialogs : public platform::Dialogs {
 public:
  explicit ConsoleDialogs(std::FILE* stream) : stream_(stream) {}

  platform::MessageAnswer messageBox(platform::MessageOwner owner, const std::string& text,
                                     const std::string& title, platform::MessageButtons buttons,
                                     platform::MessageIcon icon) override;
  platform::ChosenPath chooseSaveFile(const std::string& title, const std::string& defaultName,
                                      const std::string& typeName,
                                      const std::string& pattern) override;
  platform::ChosenPath chooseOpenFile(const std::string& title, const std::string& typeName,
                                      const std::string& pattern) override;

 private:
  std::FILE* stream_;
  std::mutex mutex_;  // one box line at a time
};

}  // namespace kv::tools
