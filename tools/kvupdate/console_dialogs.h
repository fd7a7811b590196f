#pragma once

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/dialogs.h"
#include "updater/download_file.h"

namespace kv::tools {

// Message boxes for a program without a display: each box becomes one line
// "title: text" (line ends inside the text become spaces, other control
// characters '?') on the given
// stream, and is answered at once as if the user pressed the safe button:
// Ok for an Ok box, No for Yes/No, Cancel for Yes/No/Cancel. File dialogs
// answer as cancelled. A box that follows a noted download failure on the
// same thread says what the log says instead of its own text: the file and
// the reason. Any thread.
class ConsoleDialogs : public platform::Dialogs {
 public:
  explicit ConsoleDialogs(std::FILE* stream) : stream_(stream) {}

  // Called as a download failure is logged, just before its box.
  void noteDownloadFailure(const updater::DownloadFailure& failure);

  // The text of the last download failure noted ("" before any): the file
  // and the reason, as its line said.
  std::string lastDownloadFailure() const;

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
  mutable std::mutex mutex_;  // one box line at a time; guards pending_ and last_
  std::map<std::thread::id, std::string> pending_;  // the failure text of each thread's next box
  std::string last_;
};

// The text of a failed download: the log message, led by the file when the
// message does not name it, and the system's reason in parentheses.
std::string downloadFailureText(const updater::DownloadFailure& failure);

}  // namespace kv::tools
