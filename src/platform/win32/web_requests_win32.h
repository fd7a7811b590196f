#pragma once

// The two Windows HTTP clients behind WebRequests. They live in separate
// files because the WinINet and WinHTTP headers cannot be included together.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/web_requests.h"

namespace kv::platform::win32 {

// How the last request of the calling thread went; each function below
// sets it.
WebOutcome& lastOutcome();

// Records a request that got no whole response because of the WinINet or
// WinHTTP error code (its text read from module, "wininet.dll" or
// "winhttp.dll"); answers false.
bool failedWith(std::uint32_t code, const wchar_t* module);

// Records a request that got no whole response for reason; answers false.
bool failedWith(const std::string& reason);

// The reasons of failures that are no system error, in libcurl's words.
inline constexpr const char* kTooLong = "Maximum file size exceeded";
inline constexpr const char* kPartial = "Transferred a partial file";
inline constexpr const char* kLeftHttps = "Redirect from https to another scheme refused";

// WinINet, agent "KVLauncher", never from the cache.
bool wininetGetText(const std::string& url, std::size_t maxBytes, std::string& body);

// WinHTTP, agent "KVLauncher/1.0".
bool winhttpGetBody(const std::string& url, std::size_t maxBytes, std::string& body);
bool winhttpGetLastModified(const std::string& url, std::string& lastModified);

}  // namespace kv::platform::win32
