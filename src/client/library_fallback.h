#pragma once

#include <string>

namespace kv::platform {
class Dialogs;
class Machine;
class Window;
}  // namespace kv::platform

namespace kv::client {

// The paths this check works on inside a server folder.
struct GraphicsLibraryPaths {
  std::string eglLibrary;       // <server folder>/libEGL.dll
  std::string glesLibrary;      // <server folder>/libGLESv2.dll
  std::string fallbackArchive;  // <server folder>/oldlibs.zip
};

// The three paths inside serverPath (the server's client folder).
GraphicsLibraryPaths graphicsLibraryPaths(const std::string& serverPath);

// Run on the main thread when the player presses Play, before the client is
// started. Without a fallback archive (a regular file) in serverPath nothing
// happens. When both graphics libraries load on machine and offer their entry
// points, the archive is deleted and the libraries stay. Otherwise both
// libraries are deleted and the archive is unpacked into serverPath in their
// place; then the archive is deleted and the answer is true. A failed unpack
// shows the "Failed to extract ZIP file with libraries." box owned by the
// main window, keeps the archive and answers false. Deletion failures are
// ignored. True only when the libraries were replaced; callers may ignore the
// answer and start the client in any case.
bool restoreGraphicsLibraries(const std::string& serverPath, platform::Machine& machine,
                              platform::Dialogs& dialogs, platform::Window& window);

}  // namespace kv::client
