#pragma once

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "console_reports.h"
#include "updater/manifest.h"
#include "updater/site_config.h"

namespace kv::platform {
class Machine;
}

namespace kv::tools {

// What the headless updater takes from the launcher settings.
struct ToolSettings {
  updater::SiteConfig site;  // "siteHost" (else the built-in host) and "caFile"
  int server = 2;            // "server", made selectable (anything but 1 or 2 is 2)
};

// Reads "system.kvml" in folder the way the launcher does, with the
// launcher's settings store over folder and the user's profile folder. A
// missing file gives the defaults.
ToolSettings readToolSettings(const std::string& folder, const std::string& profileFolder);

// The client build the launcher chooses on a machine where it cannot probe
// OpenGL (no display): the DirectX build of the machine's width.
std::string headlessClientBuild(bool is64Bit);

// The last line of a run: the server, the files the run installed (entries
// of the local manifest after it that are new or differ from before, and
// the damaged files it installed again, repaired), the bytes received from
// the site (fetchedBytes; fewer than listed where files were put together
// from installed bytes) against the listed bytes of those files, the time
// taken, and whether the client is ready (else the error, and in
// parentheses the reason standard error gave when there is one).
std::string runSummary(const std::string& serverFolder, const updater::ManifestMap& before,
                       const updater::ManifestMap& after, const std::set<std::string>& repaired,
                       std::int64_t fetchedBytes, double seconds,
                       RunEnd end, const std::string& errorText, const std::string& reason = {});

// Whether the file at path holds the content entry's hash names, where that
// hash is a SHA-256 in hex; other hashes are opaque and pass.
bool contentMatches(const std::string& path, const updater::ManifestEntry& entry);

// The lines a verifying run prints before its summary: the counts of the
// files the check read, of those found damaged and of those of them
// installed whole again; then each damaged file (below serverFolder, in path
// order) and whether it was repaired.
std::vector<std::string> verifyLines(const std::string& serverFolder, std::size_t checked,
                                     const std::set<std::string>& damaged, const std::set<std::string>& repaired);

// The whole headless updater: parses args, runs one update run of the
// server in the current folder, prints reports to out (a progress bar when
// terminal, cut to columns when that is not 0) and its summary to out, and
// message boxes to err (a download failure as the file and the reason).
// Answers the exit status: 0 when the client is ready, 1 on an error, 2 on
// misuse. The machine tells the profile folder and the processor width.
int runUpdateTool(const std::vector<std::string>& args, platform::Machine& machine, std::FILE* out, std::FILE* err,
                  bool terminal, int columns = 0);

}  // namespace kv::tools
