// Web pages through the shell and programs through CreateProcessA.
#include <windows.h>

#include <shellapi.h>

#include "platform/win32/win32_platform.h"

namespace kv::platform::win32 {

void Win32Shell::openUrl(const std::string& url) {
  // The answer is ignored: a missing browser only means no page.
  (void)ShellExecuteA(static_cast<HWND>(window_.handle()), "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

bool Win32Shell::startProcess(const std::string& executable, const std::string& workingDirectory) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(executable.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                      workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &process)) {
    return false;
  }
  // The launcher keeps no hold on the program.
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

}  // namespace kv::platform::win32
