// The version request and the Last-Modified request over WinHTTP.
#include <windows.h>
// After windows.h.
#include <winhttp.h>

#include <string>
#include <utility>

#include "platform/win32/web_requests_win32.h"
#include "platform/win32/wide_text.h"

namespace kv::platform::win32 {
namespace {

constexpr wchar_t kHttpAgent[] = L"KVLauncher/1.0";
constexpr wchar_t kModule[] = L"winhttp.dll";
// The Last-Modified value is read into this many bytes (UTF-16).
constexpr DWORD kHeaderBytes = 512;

// Closes a WinHTTP handle when it goes out of scope.
struct HttpHandle {
  HINTERNET handle = nullptr;
  HttpHandle() = default;
  ~HttpHandle() {
    if (handle != nullptr) WinHttpCloseHandle(handle);
  }
  HttpHandle(const HttpHandle&) = delete;
  HttpHandle& operator=(const HttpHandle&) = delete;
};

// One sent GET whose response headers arrived. Members close in reverse
// order: the request, then the connection, then the session.
struct SentRequest {
  HttpHandle session;
  HttpHandle connection;
  HttpHandle request;
};

// Splits url, opens session, connection and request, sends the request
// and waits for the response headers. False on any failure.
bool send(const std::string& url, SentRequest& sent) {
  const std::wstring wide = widen(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  // Lengths of -1 make the parts point into wide instead of being copied.
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  lastOutcome() = {};
  if (!WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts)) {
    return failedWith(GetLastError(), kModule);
  }
  if (parts.lpszHostName == nullptr || parts.dwHostNameLength == 0) {
    return failedWith(ERROR_WINHTTP_INVALID_URL, kModule);
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path;
  if (parts.lpszUrlPath != nullptr) path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo != nullptr) path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";

  sent.session.handle = WinHttpOpen(kHttpAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
  if (sent.session.handle == nullptr) return failedWith(GetLastError(), kModule);
  sent.connection.handle = WinHttpConnect(sent.session.handle, host.c_str(), parts.nPort, 0);
  if (sent.connection.handle == nullptr) return failedWith(GetLastError(), kModule);
  const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  sent.request.handle = WinHttpOpenRequest(sent.connection.handle, L"GET", path.c_str(), nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
  if (sent.request.handle == nullptr) return failedWith(GetLastError(), kModule);
  if (!WinHttpSendRequest(sent.request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(sent.request.handle, nullptr)) {
    return failedWith(GetLastError(), kModule);
  }
  DWORD status = 0;
  DWORD size = sizeof status;
  if (WinHttpQueryHeaders(sent.request.handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    lastOutcome().status = static_cast<long>(status);
  }
  return true;
}

}  // namespace

bool winhttpGetBody(const std::string& url, std::size_t maxBytes, std::string& body) {
  SentRequest sent;
  if (!send(url, sent)) return false;
  std::string received;
  for (;;) {
    DWORD available = 0;
    // A failing query or read breaks the answer off: it is not taken as whole.
    if (!WinHttpQueryDataAvailable(sent.request.handle, &available)) return failedWith(GetLastError(), kModule);
    if (available == 0) break;
    if (available > maxBytes - received.size()) return failedWith(kTooLong);
    const std::size_t start = received.size();
    received.resize(start + available);
    DWORD read = 0;
    if (!WinHttpReadData(sent.request.handle, received.data() + start, available, &read)) {
      return failedWith(GetLastError(), kModule);
    }
    received.resize(start + read);
    if (read == 0) break;
  }
  // A connection that closed early can look like a normal end: the
  // announced length tells.
  DWORD announced = 0;
  DWORD size = sizeof announced;
  if (WinHttpQueryHeaders(sent.request.handle, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &announced, &size, WINHTTP_NO_HEADER_INDEX) &&
      announced != received.size()) {
    return failedWith(kPartial);
  }
  body = std::move(received);
  return true;
}

bool winhttpGetLastModified(const std::string& url, std::string& lastModified) {
  SentRequest sent;
  if (!send(url, sent)) return false;
  wchar_t value[kHeaderBytes / sizeof(wchar_t)];
  DWORD size = kHeaderBytes;
  std::string narrowValue;
  if (WinHttpQueryHeaders(sent.request.handle, WINHTTP_QUERY_LAST_MODIFIED, WINHTTP_HEADER_NAME_BY_INDEX, value,
                          &size, WINHTTP_NO_HEADER_INDEX)) {
    // The header is ASCII: the low byte of each character is the text.
    const DWORD characters = size / sizeof(wchar_t);
    narrowValue.reserve(characters);
    for (DWORD i = 0; i < characters; ++i) narrowValue.push_back(static_cast<char>(value[i] & 0xFF));
    const std::size_t first = narrowValue.find_first_not_of(" \t");
    const std::size_t last = narrowValue.find_last_not_of(" \t");
    narrowValue = first == std::string::npos ? std::string() : narrowValue.substr(first, last - first + 1);
  }
  lastModified = std::move(narrowValue);
  return true;
}

}  // namespace kv::platform::win32
