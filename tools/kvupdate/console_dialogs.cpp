#include "console_dialogs.h"

#include <string>

#include "printable_text.h"

namespace kv::tools {

std::string downloadFailureText(const updater::DownloadFailure& failure) {
  std::string text = failure.logLine;
  if (text.find(failure.localPath) == std::string::npos) text = failure.localPath + ": " + text;
  if (!failure.systemReason.empty()) text += " (" + failure.systemReason + ")";
  return text;
}

void ConsoleDialogs::noteDownloadFailure(const updater::DownloadFailure& failure) {
  std::lock_guard<std::mutex> lock(mutex_);
  last_ = downloadFailureText(failure);
  pending_[std::this_thread::get_id()] = last_;
}

std::string ConsoleDialogs::lastDownloadFailure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_;
}

platform::MessageAnswer ConsoleDialogs::messageBox(platform::MessageOwner, const std::string& text,
                                                   const std::string& title, platform::MessageButtons buttons,
                                                   platform::MessageIcon) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string line = title + ": " + text;
    if (const auto failure = pending_.find(std::this_thread::get_id()); failure != pending_.end()) {
      line = title + ": " + failure->second;
      pending_.erase(failure);
    }
    for (char& c : line) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    line = printableText(line) + '\n';
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
