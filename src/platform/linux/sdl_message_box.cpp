#include <SDL.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/linux/linux_platform.h"

namespace kv::platform::linux_backend {
namespace {

// How often the main window is looked after while a box is open.
constexpr Uint32 kRepaintIntervalMs = 15;

Uint32 iconFlags(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Error:
      return SDL_MESSAGEBOX_ERROR;
    case MessageIcon::Warning:
      return SDL_MESSAGEBOX_WARNING;
    case MessageIcon::Information:
    case MessageIcon::Question:
      return SDL_MESSAGEBOX_INFORMATION;
    case MessageIcon::None:
      break;
  }
  return 0;
}

}  // namespace

MessageAnswer LinuxDialogs::messageBox(MessageOwner owner, const std::string& text,
                                       const std::string& title, MessageButtons buttons,
                                       MessageIcon icon) {
  std::vector<SDL_MessageBoxButtonData> data;
  const Uint32 enter = SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT;
  const Uint32 escape = SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT;
  switch (buttons) {
    case MessageButtons::Ok:
      data.push_back({enter | escape, static_cast<int>(MessageAnswer::Ok), "OK"});
      break;
    case MessageButtons::YesNo:
      data.push_back({enter, static_cast<int>(MessageAnswer::Yes), "Yes"});
      data.push_back({escape, static_cast<int>(MessageAnswer::No), "No"});
      break;
    case MessageButtons::YesNoCancel:
      data.push_back({enter, static_cast<int>(MessageAnswer::Yes), "Yes"});
      data.push_back({0, static_cast<int>(MessageAnswer::No), "No"});
      data.push_back({escape, static_cast<int>(MessageAnswer::Cancel), "Cancel"});
      break;
  }
  SDL_MessageBoxData box{};
  box.flags = iconFlags(icon);
  box.window = owner == MessageOwner::MainWindow ? window_.sdlWindow() : nullptr;
  box.title = title.c_str();
  box.message = text.c_str();
  box.numbuttons = static_cast<int>(data.size());
  box.buttons = data.data();
  int pressed = -1;
  int shown = 0;
  if (window_.onWindowThread()) {
    // The box runs its own event loop on a connection of its own; the main
    // window is kept painted meanwhile, its input dropped.
    std::atomic<bool> done{false};
    std::thread boxThread([&] {
      shown = SDL_ShowMessageBox(&box, &pressed);
      done.store(true);
    });
    while (!done.load()) {
      window_.keepPaintedWhileBlocked();
      SDL_Delay(kRepaintIntervalMs);
    }
    boxThread.join();
  } else {
    shown = SDL_ShowMessageBox(&box, &pressed);
  }
  if (shown != 0 || pressed < 0) return answerWhenNotShown(buttons);
  return static_cast<MessageAnswer>(pressed);
}

}  // namespace kv::platform::linux_backend
