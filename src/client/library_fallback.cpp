#include "client/library_fallback.h"

#include "archive/zip_archive.h"
#include "client/client_names.h"
#include "platform/dialogs.h"
#include "platform/file_system.h"
#include "platform/machine.h"
#include "platform/window.h"

namespace kv::client {
namespace {

// A file removal whose failure (missing, denied, a folder) is of no concern.
void removeQuietly(const std::string& path) { (void)platform::removeFile(path); }

// Whether path names a regular file; an error while asking counts as absent.
bool isPresentFile(const std::string& path) { return platform::isRegularFile(path); }

}  // namespace

GraphicsLibraryPaths graphicsLibraryPaths(const std::string& serverPath) {
  return {serverPath + "/" + kEglLibraryFile, serverPath + "/" + kGlesLibraryFile,
          serverPath + "/" + kOldLibsArchive};
}

bool restoreGraphicsLibraries(const std::string& serverPath, platform::Machine& machine,
                              platform::Dialogs& dialogs, platform::Window& window) {
  if (serverPath.empty()) return false;
  const GraphicsLibraryPaths paths = graphicsLibraryPaths(serverPath);
  if (!isPresentFile(paths.fallbackArchive)) return false;

  const bool librariesWork = machine.libraryExports(paths.eglLibrary, kEglEntryPoint) &&
                             machine.libraryExports(paths.glesLibrary, kGlesEntryPoint);
  if (librariesWork) {
    removeQuietly(paths.fallbackArchive);
    return false;
  }

  removeQuietly(paths.eglLibrary);
  removeQuietly(paths.glesLibrary);
  if (archive::extractZipArchive(paths.fallbackArchive, serverPath, &window)) {
    removeQuietly(paths.fallbackArchive);
    return true;
  }
  (void)dialogs.messageBox(platform::MessageOwner::MainWindow, kLibraryExtractFailedText,
                           kLibraryExtractFailedTitle, platform::MessageButtons::Ok,
                           platform::MessageIcon::Error);
  return false;
}

}  // namespace kv::client
