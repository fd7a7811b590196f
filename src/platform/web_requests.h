#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace kv::platform {

// How a request went.
struct WebOutcome {
  bool arrived = true;  // a whole response arrived
  long status = 0;      // its final HTTP status; 0 when not known
  std::string failure;  // when none arrived whole: the system's reason
};

// The system's own HTTP client, where the system has one, for the updater's
// three small requests (a manifest, the launcher version, the manifest's
// Last-Modified stamp). It trusts the system's certificate store. Every call
// opens and closes its own connection, so one object may serve several
// threads. None of them throws; none looks at the HTTP status: an error
// page is an answer like any other. Redirects are followed, but an answer
// that a redirect took from https to plain http is refused.
class WebRequests {
 public:
  virtual ~WebRequests() = default;

  // GET with agent "KVLauncher", always answered by the server, never by a
  // cache. True when a whole response arrived; body then holds it. False
  // when there was no response, the transfer broke off, or the body exceeds
  // maxBytes; body is then left untouched.
  [[nodiscard]] virtual bool getText(const std::string& url, std::size_t maxBytes, std::string& body) = 0;

  // GET with agent "KVLauncher/1.0". Same answers as getText.
  [[nodiscard]] virtual bool getBody(const std::string& url, std::size_t maxBytes, std::string& body) = 0;

  // GET with agent "KVLauncher/1.0" that reads the headers and not the
  // body. True when a response arrived; lastModified then holds its
  // Last-Modified value, or "" when it has none or the value is longer than
  // 255 characters. False when no response arrived (lastModified untouched).
  [[nodiscard]] virtual bool getLastModified(const std::string& url, std::string& lastModified) = 0;

  // How the last request the calling thread made through this object went.
  // An object that cannot tell answers an arrived response of status 0.
  virtual WebOutcome lastOutcome() const { return {}; }
};

// The system's client, or nothing where the system has none; the updater
// then makes these requests with its own client.
std::unique_ptr<WebRequests> makeSystemWebRequests();

}  // namespace kv::platform
