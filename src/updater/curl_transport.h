#pragma once

#include <memory>
#include <string>

#include "updater/http_transport.h"

namespace kv::updater {

// Settings of the libcurl transport.
struct CurlTransportOptions {
  std::string caFile;             // CA certificates to trust instead of the system's; "" = system
  long connectTimeoutSeconds = 30;  // giving up on a connection that does not open
  long stallSeconds = 60;           // giving up on a transfer that receives nothing for this long
};

// The HttpTransport over libcurl: one easy handle per object, reused (with
// its open connections and TLS sessions) by every request of the object.
// Only https redirects are followed. Never throws.
std::unique_ptr<HttpTransport> makeCurlTransport(const CurlTransportOptions& options);

// What a libcurl engine may start from: a share handle (CURLSH*, may be
// null) whose connections and TLS sessions its transfers reuse, and whether
// the site is known to multiplex (HTTP/2), so that many streams start at once.
struct CurlEngineStart {
  void* share = nullptr;
  bool multiplexed = false;
};

// The parallel transfer engine over libcurl's multi interface: many streams
// on one connection when the site speaks HTTP/2 (no more than the site
// carries at once), otherwise kept-alive HTTP/1.1 connections: connections
// of them at first, up to twice as many while the site keeps up. Every transfer keeps the rules of
// HttpTransport::download.
std::unique_ptr<TransferEngine> makeCurlEngine(const CurlTransportOptions& options, int connections,
                                               const CurlEngineStart& start = {});

}  // namespace kv::updater
