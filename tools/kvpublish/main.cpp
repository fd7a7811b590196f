// kvpublish: writes the download site of one server from a client folder.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "publish.h"
#include "publish_arguments.h"
#include "publish_progress.h"
#include "signing/minisign.h"
#include "store_publish.h"
#include "store_settings.h"

namespace {

// Asks for the secret key's password on the terminal, without echo. False
// when there is no terminal.
bool askPassword(std::string& password) {
  const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (tty < 0) return false;
  const char prompt[] = "Password of the secret key: ";
  [[maybe_unused]] auto shown = ::write(tty, prompt, sizeof prompt - 1);
  termios before{};
  const bool quiet = ::tcgetattr(tty, &before) == 0;
  if (quiet) {
    termios silent = before;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(tty, TCSAFLUSH, &silent);
  }
  password.clear();
  char c = 0;
  while (::read(tty, &c, 1) == 1 && c != '\n' && password.size() < 1024) password += c;
  if (quiet) ::tcsetattr(tty, TCSAFLUSH, &before);
  [[maybe_unused]] auto ended = ::write(tty, "\n", 1);
  ::close(tty);
  return true;
}

// Reads the signing key named by --sign; its password from KV_SIGN_PASSWORD
// or the terminal when it is encrypted.
bool loadSigningKey(const std::string& file, kv::signing::SecretKey& key, std::string& error) {
  // A key file is small: read one byte past the largest, so that the reader
  // refuses a larger file as such.
  std::string text(kv::signing::kMaxSecretKeyFileBytes + 1, '\0');
  std::FILE* in = std::fopen(file.c_str(), "rb");
  if (in == nullptr) {
    error = "cannot read the secret key \"" + file + "\": " + std::strerror(errno);
    return false;
  }
  text.resize(std::fread(text.data(), 1, text.size(), in));
  const bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed) {
    error = "cannot read the secret key \"" + file + "\"";
    return false;
  }
  std::string password;
  if (kv::signing::secretKeyIsEncrypted(text)) {
    if (const char* given = std::getenv("KV_SIGN_PASSWORD")) {
      password = given;
    } else if (!askPassword(password)) {
      error = "the secret key is encrypted: give its password in KV_SIGN_PASSWORD or run on a terminal";
      return false;
    }
  }
  std::string reason;
  if (!kv::signing::readSecretKey(text, password, key, &reason)) {
    error = "\"" + file + "\": " + reason;
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  kv::tools::PublishArguments parsed;
  std::string error;
  switch (kv::tools::parsePublishArguments(args, parsed, error)) {
    case kv::tools::ParseOutcome::Help:
      std::fputs(kv::tools::publishUsage(), stdout);
      return 0;
    case kv::tools::ParseOutcome::Misuse:
      std::fprintf(stderr, "kvpublish: %s\n", error.c_str());
      std::fputs(kv::tools::publishUsage(), stderr);
      return 2;
    case kv::tools::ParseOutcome::Run:
      break;
  }
  const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  winsize size{};
  const int columns = terminal && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
  kv::tools::ConsoleProgress progress(stdout, terminal, columns);

  kv::tools::PublishRequest request{parsed.serverFolder, parsed.versionText, parsed.clientDir, parsed.siteDir};
  request.strict = parsed.strict;
  request.prune = parsed.prune;
  request.dryRun = parsed.dryRun;
  request.indexes = !parsed.noIndex;
  request.progress = &progress;
  kv::signing::SecretKey signingKey;
  if (!parsed.signKeyFile.empty()) {
    if (!loadSigningKey(parsed.signKeyFile, signingKey, error)) {
      std::fprintf(stderr, "kvpublish: %s\n", error.c_str());
      return 2;
    }
    request.signingKey = &signingKey;
    request.release = parsed.release;
    request.expiresDays = parsed.expiresDays;
    request.resign = parsed.resign;
  }
  kv::tools::PublishReport report;
  bool ok = false;
  if (parsed.storeUrl.empty()) {
    ok = kv::tools::publishClient(request, report);
  } else {
    kv::tools::S3Config config;
    std::string reason;
    if (!kv::tools::storeSettings(parsed, [](const char* name) { return std::getenv(name); }, config, reason)) {
      std::fprintf(stderr, "kvpublish: %s\n", reason.c_str());
      return 2;
    }
    const auto store = kv::tools::makeS3Store(config);
    ok = kv::tools::publishToStore(request, *store, report);
  }
  std::fflush(stdout);
  for (const auto& warning : report.warnings) std::fprintf(stderr, "kvpublish: warning: %s\n", warning.c_str());
  for (const auto& problem : report.problems) std::fprintf(stderr, "kvpublish: error: %s\n", problem.c_str());
  if (!ok) {
    std::fprintf(stderr, "kvpublish: %s\n", kv::tools::failureLine(report).c_str());
    return 1;
  }
  for (const auto& line : kv::tools::summaryLines(request, report, parsed.verbose)) {
    std::printf("%s\n", line.c_str());
  }
  return 0;
}
