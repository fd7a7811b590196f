#include "platform/web_requests.h"

namespace kv::platform {

// A POSIX system has no HTTP client of its own: the updater's libcurl
// client makes every request.
std::unique_ptr<WebRequests> makeSystemWebRequests() { return nullptr; }

}  // namespace kv::platform
