#pragma once

// The two Windows HTTP clients behind WebRequests. They live in separate
// files because the WinINet and WinHTTP headers cannot be included together.
#include <cstddef>
#include <string>

namespace kv::platform::win32 {

// WinINet, agent "KVLauncher", never from the cache.
bool wininetGetText(const std::string& url, std::size_t maxBytes, std::string& body);

// WinHTTP, agent "KVLauncher/1.0".
bool winhttpGetBody(const std::string& url, std::size_t maxBytes, std::string& body);
bool winhttpGetLastModified(const std::string& url, std::string& lastModified);

}  // namespace kv::platform::win32
