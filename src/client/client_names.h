#pragma once

#include <string>

#include "base/launcher_files.h"

namespace kv::client {

// The builds' names, their executables and archives, the graphics libraries
// and the fallback archive are names on disk: see base/launcher_files.h.

// The renderer's name on the main screen: "DirectX", or "OpenGL " followed
// by the driver's version string.
inline constexpr const char* kDirectXRendererName = "DirectX";
inline constexpr const char* kOpenGLRendererPrefix = "OpenGL ";

// The entry point each of the client's two graphics libraries must offer.
inline constexpr const char* kEglEntryPoint = "eglGetDisplay";
inline constexpr const char* kGlesEntryPoint = "glGetString";

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
