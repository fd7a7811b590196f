#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace kv::test {
namespace {

constexpr int kTimeoutSeconds = 60;

// The environment variables that steer the probe; each run sets its own.
const std::vector<std::string> kSteeringVariables = {
    "DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER", "SDL_OPENGL_LIBRARY",
    "MESA_GL_VERSION_OVERRIDE", "ASAN_OPTIONS"};

std::map<std::string, std::string> lines(const std::string& output) {
  std::map<std::string, std::string> result;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    const auto colon = line.find(':');
    if (colon != std::string::npos) result[line.substr(0, colon)] = line.substr(colon + 1);
  }
  return result;
}

class GlProbeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = std::make_unique<XvfbServer>();
    if (!server->start(kTimeoutSeconds)) server.reset();
  }
  static void TearDownTestSuite() { server.reset(); }

  void SetUp() override { ASSERT_NE(server, nullptr) << "the virtual X server did not start"; }

  // Runs the probe helper with the given variables on top of a clean
  // environment.
  std::map<std::string, std::string> probe(const std::vector<std::string>& variables,
                                           const std::vector<std::string>& arguments = {}) {
    ChildOptions options;
    options.argv = {std::string(KV_GL_PROBE_HELPER)};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.removedEnvironment = kSteeringVariables;
    // The graphics driver keeps allocations until the process ends.
    options.extraEnvironment = {"ASAN_OPTIONS=detect_leaks=0"};
    options.extraEnvironment.insert(options.extraEnvironment.end(), variables.begin(), variables.end());
    const ProcessResult result = runProcess(options, kTimeoutSeconds * 1000);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0) << result.output << result.errors;
    return lines(result.output);
  }

  static std::unique_ptr<XvfbServer> server;
};

std::unique_ptr<XvfbServer> GlProbeTest::server;

TEST_F(GlProbeTest, DriverOnTheDisplayAnswersAndOpenGLIsChosen) {
  auto out = probe({"DISPLAY=" + server->display()});
  EXPECT_EQ(out["probes"], "1");
  ASSERT_NE(out["version"], "none");
  EXPECT_EQ(out["version"].rfind("4.5", 0), 0u) << out["version"];
  EXPECT_EQ(out["renderer"], "OpenGL " + out["version"]);
  EXPECT_EQ(out["build"], sizeof(void*) == 8 ? "vdclient_gl_x64" : "vdclient_gl_x86");
  EXPECT_EQ(out["repaints"], "1");
}

TEST_F(GlProbeTest, ProbeLeavesARunningVideoSubsystemRunning) {
  auto out = probe({"DISPLAY=" + server->display()}, {"--video-up"});
  EXPECT_EQ(out["video-still-up"], "1");
  EXPECT_EQ(out["window-still-there"], "1");
  EXPECT_EQ(out["version"].rfind("4.5", 0), 0u) << out["version"];
  EXPECT_EQ(out["renderer"], "OpenGL " + out["version"]);
}

TEST_F(GlProbeTest, WithoutAUsableDriverDirectXStays) {
  struct Case {
    const char* name;
    std::vector<std::string> variables;
    const char* version;  // nullptr: any answer starting with "1."
  };
  const std::string display = "DISPLAY=" + server->display();
  const Case cases[] = {
      {"OpenGL 1.4 driver", {display, "MESA_GL_VERSION_OVERRIDE=1.4"}, nullptr},
      {"no OpenGL library", {display, "SDL_OPENGL_LIBRARY=/nonexistent"}, "none"},
      {"no display", {}, "none"},
      {"dummy video driver", {display, "SDL_VIDEODRIVER=dummy"}, "none"},
      {"invisible video driver", {display, "SDL_VIDEODRIVER=offscreen"}, "none"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto out = probe(c.variables);
    if (c.version != nullptr) {
      EXPECT_EQ(out["version"], c.version);
    } else {
      EXPECT_EQ(out["version"].rfind("1.", 0), 0u) << out["version"];
    }
    EXPECT_EQ(out["renderer"], "DirectX");
    EXPECT_EQ(out["build"], sizeof(void*) == 8 ? "vdclient_dx_x64" : "vdclient_dx_x86");
    EXPECT_EQ(out["repaints"], "0");
  }
}

}  // namespace
}  // namespace kv::test
