#pragma once

#include <string>

#include "platform/audio.h"
#include "platform/canvas.h"
#include "platform/window.h"
#include "ui/ui_state.h"

namespace kv::ui {

// Where the resource at relative ("/data/images/close.png") is read from:
// the server folder when it has that file, else the default art folder
// (when not "") when that has it, else the server folder (nothing loads
// then). Main thread.
[[nodiscard]] std::string resourcePath(const std::string& folder, const std::string& defaultArtFolder,
                                       const std::string& relative);

// resourcePath for the folders of ui.
[[nodiscard]] inline std::string resourcePath(const UiState& ui, const std::string& relative) {
  return resourcePath(ui.resourceFolder, ui.defaultArtFolder, relative);
}

// Loads every interface resource from a server folder ("<base>/eu"): the
// background, the four fonts of "RavidIzuz.ttf", the ten widgets with their
// pictures and labels, the sound widget's off picture when the master switch
// is off (and the options widget's open picture while the panel is open), and
// the sounds. A file the folder does not have comes from the default art
// (see resourcePath). The Play widget is disabled; the caller shows the
// server's readiness on it again once the resources are in place. Missing
// files are not errors: what is missing is simply not drawn or played,
// resourcesIncomplete records that something did not come from the server
// folder, and missingResources lists those files by their path in the server
// folder (a file there but broken is not listed). Main thread.
void createUiResources(UiState& ui, platform::Graphics& graphics, platform::Audio& audio,
                       platform::Window& window, const std::string& folder);

// Frees everything createUiResources made (pictures, fonts, sounds). Labels,
// paths and rectangles stay. Main thread.
void releaseUiResources(UiState& ui);

// Disposes of the widget's picture, loads the one at path and remembers the
// path. A picture that fails to load draws nothing.
void replaceWidgetImage(Widget& widget, platform::Graphics& graphics, const std::string& path);

// After a configuration import: the sound widget shows the master switch
// (sound.png or sound_off.png), Play is disabled, and the sound settings are
// applied again.
void refreshUiAfterImport(UiState& ui, platform::Graphics& graphics, platform::Window& window);

// Whether a resource file that was absent when the resources were last
// loaded is there now.
// Main thread.
[[nodiscard]] bool missingResourceArrived(const UiState& ui);

// Gives the sound widget the picture of the master switch: sound.png when
// sound is on, sound_off.png when it is off (see resourcePath).
void showSoundState(UiState& ui, platform::Graphics& graphics);

// Sets a widget's look, repainting its rectangle when the look changes.
void setWidgetState(Widget& widget, WidgetState state, platform::Window& window);

}  // namespace kv::ui
