#include "platform/web_requests.h"
#include "platform/win32/web_requests_win32.h"

namespace kv::platform {
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
};

}  // namespace

std::unique_ptr<WebRequests> makeSystemWebRequests() { return std::make_unique<SystemWebRequests>(); }

}  // namespace kv::platform
