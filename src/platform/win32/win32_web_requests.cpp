#include <windows.h>

#include "platform/web_requests.h"
#include "platform/win32/web_requests_win32.h"
#include "platform/win32/wide_text.h"

namespace kv::platform {

namespace win32 {

WebOutcome& lastOutcome() {
  thread_local WebOutcome outcome;
  return outcome;
}

bool failedWith(std::uint32_t code, const wchar_t* module) {
  std::string reason;
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                          FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      GetModuleHandleW(module), code, 0, reinterpret_cast<wchar_t*>(&buffer), 0,
                                      nullptr);
  if (length != 0 && buffer != nullptr) {
    std::wstring text(buffer, length);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    reason = narrow(text);
  }
  if (buffer != nullptr) LocalFree(buffer);
  if (reason.empty()) reason = systemMessage(code);
  return failedWith(reason);
}

bool failedWith(const std::string& reason) {
  lastOutcome().arrived = false;
  lastOutcome().failure = reason;
  return false;
}

}  // namespace win32

namespace {

class SystemWebRequests final : public WebRequests {
 public:
  bool getText(const std::string& url, std::size_t maxBytes, std::string& body) override {
    return win32::wininetGetText(url, maxBytes, body);
  }
  bool getBody(const std::string& url, std::size_t maxBytes, std::string& body) override {
    return win32::winhttpGetBody(url, maxBytes, body);
  }
  bool getLastModified(const std::string& url, std::string& lastModified) override {
    return win32::winhttpGetLastModified(url, lastModified);
  }
  WebOutcome lastOutcome() const override { return win32::lastOutcome(); }
};

}  // namespace

std::unique_ptr<WebRequests> makeSystemWebRequests() { return std::make_unique<SystemWebRequests>(); }

}  // namespace kv::platform
