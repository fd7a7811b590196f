#pragma once

#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fixtures/https_servers.h"
#include "fixtures/test_certificates.h"
#include "platform/report.h"
#include "updater/rate_limit.h"
#include "support/temp_dir.h"
#include "support/zip_files.h"

namespace kv::test {

// What one update run did.
struct RecordedRun {
  std::vector<platform::Report> reports;
  std::vector<std::pair<std::string, std::string>> boxes;  // (title, text)
  int checks = 0;                     // cancellation checks the run made
  std::size_t reportsAtCancel = 0;    // reports posted before the flag was raised
  // The reports as "STATUS text", "ERROR text", "READY"; progress reports
  // and the timing-dependent "Downloading: ..." texts left out.
  std::vector<std::string> events() const;
  bool ready() const;
};

struct RunOptions {
  int server = 1;
  std::string build = "vdclient_gl_x64";
  int cancelAtCheck = 0;           // raise the cancel flag at this check (1-based); 0: never
  std::function<void()> onCancel;  // called when the flag is raised
  int connections = 8;             // "downloadConnections" of the run
  // The launcher's download limit the run shares with others; null: none.
  std::shared_ptr<updater::RateLimit> rateLimit;
  long connectTimeoutSeconds = 0;  // the libcurl transport's connect time-out; 0: the default
};

// One update run in process, as a worker thread runs it: stored stamp read
// from the server's "manifest.meta", retry pause shortened to nothing, TLS
// trust only through caFile.
RecordedRun runUpdateOnce(const std::string& siteHost, const std::string& caFile, const std::string& baseFolder,
                          const RunOptions& options = {});

// A test's folders: client-eu/, client-us/ (what gets published), site/
// (the web root), install/ (the launcher's working folder) and outside/
// with a canary file nothing may touch.
class Sandbox {
 public:
  Sandbox();
  std::string client(int server) const;
  std::string site() const { return dir_ / "site"; }
  std::string install() const { return dir_ / "install"; }
  std::string outside() const { return dir_ / "outside"; }
  std::string state(const std::string& name) const { return dir_ / ("state-" + name); }
  // The server folder of the installation ("install/eu").
  std::string serverDir(int server) const;
  // Publishes client(server) into site() with kvpublish's core; fails the
  // test on a problem.
  void publish(int server, const std::string& versionText = "KVLauncher Version 0.29") const;
  // The Last-Modified a static server sends for the server's manifest.php.
  std::string quickStamp(int server) const;
  std::map<std::string, std::string> snapshotInstall() const { return snapshotTree(install()); }
  std::map<std::string, std::string> snapshotOutside() const { return snapshotTree(outside()); }

 private:
  TempDir dir_;
};

// RFC 7231 date of a time, as web servers send Last-Modified.
std::string httpDate(std::time_t when);
std::time_t mtimeOf(const std::string& path);
void setMtime(const std::string& path, std::time_t when);

// Checks that the installation of server matches its published client for
// build: every file with its content, archives unpacked and gone (except
// "oldlibs.zip"), the local manifest with every remote entry, and the stamp
// recorded.
void expectConverged(const Sandbox& sandbox, const std::string& installDir, int server, const std::string& build,
                     const std::string& stamp);

}  // namespace kv::test
