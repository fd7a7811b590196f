// The manifest request over WinINet.
#include <windows.h>
// After windows.h.
#include <wininet.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "platform/win32/web_requests_win32.h"

namespace kv::platform::win32 {
namespace {

constexpr char kTextAgent[] = "KVLauncher";
constexpr DWORD kPieceBytes = 4096;
constexpr wchar_t kModule[] = L"wininet.dll";

// Closes a WinINet handle when it goes out of scope.
struct InternetHandle {
  HINTERNET handle = nullptr;
  explicit InternetHandle(HINTERNET h) : handle(h) {}
  ~InternetHandle() {
    if (handle != nullptr) InternetCloseHandle(handle);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
};

bool startsWithHttps(const std::string& url) {
  return url.size() >= 6 && _strnicmp(url.c_str(), "https:", 6) == 0;
}

// Whether a redirect took a request for an https URL to another scheme: the
// answer could then have been changed on the way and is not taken.
bool leftHttps(const std::string& url, HINTERNET request) {
  if (!startsWithHttps(url)) return false;
  DWORD size = 0;
  (void)InternetQueryOptionA(request, INTERNET_OPTION_URL, nullptr, &size);
  if (size == 0) return true;
  std::string finalUrl(size, '\0');
  if (!InternetQueryOptionA(request, INTERNET_OPTION_URL, finalUrl.data(), &size)) return true;
  finalUrl.resize(std::min<std::size_t>(size, finalUrl.size()));
  return !startsWithHttps(finalUrl);
}

}  // namespace

bool wininetGetText(const std::string& url, std::size_t maxBytes, std::string& body) {
  lastOutcome() = {};
  const InternetHandle session(InternetOpenA(kTextAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (session.handle == nullptr) return failedWith(GetLastError(), kModule);
  // Always from the server: a cached manifest would hide a new one.
  const InternetHandle request(InternetOpenUrlA(session.handle, url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0));
  if (request.handle == nullptr) return failedWith(GetLastError(), kModule);
  DWORD status = 0;
  DWORD statusSize = sizeof status;
  if (HttpQueryInfoA(request.handle, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize,
                     nullptr)) {
    lastOutcome().status = static_cast<long>(status);
  }
  if (leftHttps(url, request.handle)) return failedWith(kLeftHttps);

  std::string received;
  char piece[kPieceBytes];
  for (;;) {
    DWORD count = 0;
    // A read that fails breaks the answer off: it is not taken as whole.
    if (!InternetReadFile(request.handle, piece, kPieceBytes, &count)) return failedWith(GetLastError(), kModule);
    if (count == 0) break;
    if (count > maxBytes - received.size()) return failedWith(kTooLong);
    received.append(piece, count);
  }
  // A connection that closed early can look like a normal end: the
  // announced length tells.
  DWORD announced = 0;
  DWORD size = sizeof announced;
  if (HttpQueryInfoA(request.handle, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &announced, &size,
                     nullptr) &&
      announced != received.size()) {
    return failedWith(kPartial);
  }
  body = std::move(received);
  return true;
}

}  // namespace kv::platform::win32
