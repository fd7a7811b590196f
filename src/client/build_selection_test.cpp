#include "client/build_selection.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "client/client_names.h"
#include "platform/fake/fake_platform.h"

namespace kv::client {
namespace {

struct VersionCase {
  const char* version;
  bool capable;
};

TEST(OpenGLVersionTest, ReadsTheNumberBeforeTheFirstSpace) {
  const VersionCase cases[] = {
      {"4.6.0 NVIDIA 537.13", true},
      {"4.5 (Compatibility Profile) Mesa 22.3.6", true},
      {"3.3.0", true},
      {"2.0", true},
      {"2", true},
      {"2.0.0 Build 8.15", true},
      {"1.1.0", false},
      {"1.4 (Compatibility Profile) Mesa 22.3.6", false},
      {"1.99", false},
      {"1.9999999", false},
      {"OpenGL ES 3.2 Mesa 22.3.6", false},
      {"Mesa 4.5", false},
      {"", false},
      {" 4.5", false},       // the cut at the first space leaves nothing
      {"\t4.5 x", true},      // other white space is skipped by the conversion
      {"+3.0", true},
      {"+-3.0", false},
      {"-4.5", false},
      {".5", false},
      {"4,6", true},          // the number ends at the comma: 4
      {"1,9", false},
      {"2e0", true},
      {"1e999", false},       // out of range
      {"inf", false},
      {"nan", false},
      {"4.6.0\xff\xfe", true},
  };
  for (const VersionCase& c : cases) {
    EXPECT_EQ(isCapableOpenGLVersion(c.version), c.capable) << '"' << c.version << '"';
  }
}

TEST(OpenGLVersionTest, RendererNameKeepsTheWholeVersionString) {
  EXPECT_EQ(openGLRendererName("4.6.0 NVIDIA 537.13"), "OpenGL 4.6.0 NVIDIA 537.13");
  EXPECT_EQ(openGLRendererName(""), "OpenGL ");
  // Bytes above 127 become one character each.
  EXPECT_EQ(openGLRendererName("4.5 \xe9t\xff"), "OpenGL 4.5 \xc3\xa9t\xc3\xbf");
}

struct ProbeCase {
  std::optional<std::string> driverAnswer;
  bool sixtyFour;
  bool capable;
  const char* rendererName;
  const char* build;
};

TEST(ProbeOpenGLTest, DriverAnswerDecidesRendererAndBuild) {
  const ProbeCase cases[] = {
      {"4.6.0 NVIDIA 537.13", true, true, "OpenGL 4.6.0 NVIDIA 537.13", "vdclient_gl_x64"},
      {"2.0", true, true, "OpenGL 2.0", "vdclient_gl_x64"},
      {"2.0", false, true, "OpenGL 2.0", "vdclient_gl_x86"},
      {"1.1.0", true, false, "DirectX", "vdclient_dx_x64"},
      {"1.1.0", false, false, "DirectX", "vdclient_dx_x86"},
      {"GDI Generic", true, false, "DirectX", "vdclient_dx_x64"},
      {std::nullopt, true, false, "DirectX", "vdclient_dx_x64"},
      {std::nullopt, false, false, "DirectX", "vdclient_dx_x86"},
  };
  for (const ProbeCase& c : cases) {
    SCOPED_TRACE(c.driverAnswer.value_or("<no driver>"));
    platform::fake::FakePlatform fake;
    fake.machine.glVersion = c.driverAnswer;
    fake.machine.sixtyFour = c.sixtyFour;
    RendererChoice choice;
    EXPECT_EQ(probeOpenGL(fake.machine, fake.window, choice), c.capable);
    EXPECT_EQ(choice.rendererIsDirectX, !c.capable);
    EXPECT_EQ(choice.rendererName, c.rendererName);
    // Only a change of renderer asks for a repaint.
    EXPECT_EQ(fake.window.fullInvalidations(), c.capable ? 1 : 0);
    EXPECT_EQ(clientBuildName(choice, fake.machine), c.build);
  }
}

TEST(ClientBuildNameTest, FourBuilds) {
  EXPECT_EQ(clientBuildName(true, true), "vdclient_dx_x64");
  EXPECT_EQ(clientBuildName(false, true), "vdclient_gl_x64");
  EXPECT_EQ(clientBuildName(true, false), "vdclient_dx_x86");
  EXPECT_EQ(clientBuildName(false, false), "vdclient_gl_x86");
}

TEST(ClientBuildNameTest, DerivedNamesAndTexts) {
  EXPECT_EQ(clientExecutableName("vdclient_dx_x64"), "vdclient_dx_x64.exe");
  EXPECT_EQ(clientArchiveName("vdclient_gl_x86"), "vdclient_gl_x86.zip");
  EXPECT_STREQ(kEglLibraryFile, "libEGL.dll");
  EXPECT_STREQ(kGlesLibraryFile, "libGLESv2.dll");
  EXPECT_STREQ(kOldLibsArchive, "oldlibs.zip");
  EXPECT_STREQ(kEglEntryPoint, "eglGetDisplay");
  EXPECT_STREQ(kGlesEntryPoint, "glGetString");
  EXPECT_STREQ(kLibraryExtractFailedText, "Failed to extract ZIP file with libraries.");
  EXPECT_STREQ(kLibraryExtractFailedTitle, "Error");
  EXPECT_STREQ(kLaunchFailedText, "Failed to launch the game client executable.");
  EXPECT_STREQ(kLaunchFailedTitle, "Launch Error");
  EXPECT_EQ(RendererChoice{}.rendererName, "DirectX");
  EXPECT_TRUE(RendererChoice{}.rendererIsDirectX);
}

}  // namespace
}  // namespace kv::client
