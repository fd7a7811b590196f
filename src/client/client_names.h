#pragma once

#include <array>
#include <string>

namespace kv::client {

// The four builds of the game client, in the order renderer (DirectX,
// OpenGL) within processor (64-bit, 32-bit).
inline constexpr std::array<const char*, 4> kClientBuildNames = {
    "vdclient_dx_x64", "vdclient_gl_x64", "vdclient_dx_x86", "vdclient_gl_x86"};

// Appended to a build name: its executable and its archive on the server.
inline constexpr const char* kExecutableSuffix = ".exe";
inline constexpr const char* kArchiveSuffix = ".zip";

// The renderer's name on the main screen: "DirectX", or "OpenGL " followed
// by the driver's version string.
inline constexpr const char* kDirectXRendererName = "DirectX";
inline constexpr const char* kOpenGLRendererPrefix = "OpenGL ";

// The client's two graphics libraries, the entry point each must offer, and
// the fallback archive with other copies of them, all in the server folder.
inline constexpr const char* kEglLibraryFile = "libEGL.dll";
inline constexpr const char* kGlesLibraryFile = "libGLESv2.dll";
inline constexpr const char* kEglEntryPoint = "eglGetDisplay";
inline constexpr const char* kGlesEntryPoint = "glGetString";
inline constexpr const char* kFallbackArchiveFile = "oldlibs.zip";

// The message boxes of this subsystem.
inline constexpr const char* kLibraryExtractFailedText = "Failed to extract ZIP file with libraries.";
inline constexpr const char* kLibraryExtractFailedTitle = "Error";
inline constexpr const char* kLaunchFailedText = "Failed to launch the game client executable.";
inline constexpr const char* kLaunchFailedTitle = "Launch Error";

// The executable of a build: its name followed by ".exe".
std::string clientExecutableName(const std::string& buildName);

// The archive of a build on the download server: its name followed by ".zip".
std::string clientArchiveName(const std::string& buildName);

}  // namespace kv::client
