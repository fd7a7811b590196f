#include "ui/sound_control.h"

#include "ui/ui_names.h"
#include "ui/ui_resources.h"

namespace kv::ui {

float volumeFraction(int percent) { return static_cast<float>(percent) / 100.0f; }

void openSounds(UiState& ui, platform::Audio& audio, const std::string& folder) {
  if (audio.hasDevice()) {
    ui.music = audio.openSound(resourcePath(folder, ui.defaultArtFolder, kMusicPath), platform::SoundMode::Streamed);
    ui.click = audio.openSound(resourcePath(folder, ui.defaultArtFolder, kClickPath), platform::SoundMode::Loaded);
  }
  if (ui.music) {
    ui.music->setRepeat(true);
    ui.music->setVolume(volumeFraction(ui.audio.musicSoundVolume));
    if (ui.audio.enableAudio && ui.audio.enableMusicSound) ui.music->play();
  }
  if (ui.click) ui.click->setVolume(volumeFraction(ui.audio.uiSoundVolume));
}

void releaseSounds(UiState& ui) {
  if (ui.click) {
    ui.click->stop();
    ui.click.reset();
  }
  if (ui.music) {
    ui.music->stop();
    ui.music.reset();
  }
}

void reapplySoundSettings(UiState& ui) {
  if (ui.music) {
    ui.music->setVolume(volumeFraction(ui.audio.musicSoundVolume));
    if (ui.audio.enableAudio && ui.audio.enableMusicSound) {
      ui.music->play();
    } else if (ui.music->isPlaying()) {
      ui.music->stop();
    }
  }
  if (ui.click) ui.click->setVolume(volumeFraction(ui.audio.uiSoundVolume));
}

void toggleMasterSound(UiState& ui, settings::SettingsStore& settings,
                       platform::Graphics& graphics, platform::Window* window) {
  const bool on = !ui.audio.enableAudio;
  ui.audio.enableAudio = on;
  showSoundState(ui, graphics);
  settings.setBool(kEnableAudioKey, on);
  if (ui.music) {
    if (ui.audio.enableAudio && ui.audio.enableMusicSound) {
      ui.music->play();
    } else {
      ui.music->stop();
    }
  }
  if (window != nullptr) window->invalidate();
}

void toggleMusic(UiState& ui, settings::SettingsStore& settings) {
  bool on = false;
  if (ui.audio.enableMusicSound) {
    if (ui.music) ui.music->stop();
    on = false;
  } else {
    if (ui.music) ui.music->play();
    on = true;
  }
  ui.audio.enableMusicSound = on;
  settings.setBool(kEnableMusicSoundKey, on);
}

void toggleClickSound(UiState& ui, settings::SettingsStore& settings) {
  ui.audio.enableUISound = !ui.audio.enableUISound;
  settings.setBool(kEnableUISoundKey, ui.audio.enableUISound);
}

void setMusicVolume(UiState& ui, settings::SettingsStore& settings, int value) {
  ui.audio.musicSoundVolume = value;
  if (ui.music) ui.music->setVolume(volumeFraction(value));
  settings.setInt(settings::SettingsFile::Config, kMusicSoundVolumeKey, value);
}

void setClickVolume(UiState& ui, settings::SettingsStore& settings, int value) {
  ui.audio.uiSoundVolume = value;
  if (ui.click) ui.click->setVolume(volumeFraction(value));
  settings.setInt(settings::SettingsFile::Config, kUiSoundVolumeKey, value);
}

void playClickSound(UiState& ui) {
  if (ui.click && ui.audio.enableAudio && ui.audio.enableUISound) ui.click->play();
}

}  // namespace kv::ui
