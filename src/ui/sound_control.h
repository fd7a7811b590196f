#pragma once

#include <string>

#include "platform/audio.h"
#include "platform/canvas.h"
#include "platform/window.h"
#include "settings/settings_store.h"
#include "ui/ui_state.h"

namespace kv::ui {

// Background music and click sound, and the five sound settings that the
// player changes with the sound widget and the Audio tab. Every operation
// runs on the main thread. Without an audio device (or without the sound
// files) no sound exists: the settings are still updated and stored, and
// nothing plays.

// Opens the music (streamed, looped) and the click (fully loaded) from the
// server folder (or the default art, see resourcePath) when the device is
// open, sets their volumes and starts the
// music from its beginning when the master and music switches are on.
void openSounds(UiState& ui, platform::Audio& audio, const std::string& folder);

// Stops and drops the click and the music.
void releaseSounds(UiState& ui);

// Applies the volumes again and starts the music when both its switches are
// on; a switch that is off stops music that is playing. Used after a
// configuration import replaced the settings.
void reapplySoundSettings(UiState& ui);

// Flips the master switch: swaps the sound widget's picture (sound.png /
// sound_off.png of the resource folder), stores "enableAudio", plays or
// stops the music. With a window the whole window is repainted.
void toggleMasterSound(UiState& ui, settings::SettingsStore& settings,
                       platform::Graphics& graphics, platform::Window* window);

// Flips the music switch and stores "enableMusicSound". Switching it on
// starts the music even while the master switch is off.
void toggleMusic(UiState& ui, settings::SettingsStore& settings);

// Flips the click switch and stores "enableUISound"; plays nothing.
void toggleClickSound(UiState& ui, settings::SettingsStore& settings);

// Sets and stores the music volume ("musicSoundVolume"), in per cent.
void setMusicVolume(UiState& ui, settings::SettingsStore& settings, int value);

// Sets and stores the click volume ("uiSoundVolume"), in per cent.
void setClickVolume(UiState& ui, settings::SettingsStore& settings, int value);

// Plays the click when it exists and the master and click switches are on.
void playClickSound(UiState& ui);

// The fraction a stored per-cent volume is handed to the device as.
[[nodiscard]] float volumeFraction(int percent);

}  // namespace kv::ui
