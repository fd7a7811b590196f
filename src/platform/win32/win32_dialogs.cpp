// Message boxes and file dialogs on Windows.
#include <windows.h>

#include <commdlg.h>
#include <shobjidl.h>

#include "platform/win32/wide_text.h"
#include "platform/win32/win32_platform.h"

namespace kv::platform::win32 {
namespace {

UINT buttonFlags(MessageButtons buttons) {
  switch (buttons) {
    case MessageButtons::YesNo:
      return MB_YESNO;
    case MessageButtons::YesNoCancel:
      return MB_YESNOCANCEL;
    case MessageButtons::Ok:
      break;
  }
  return MB_OK;
}

UINT iconFlags(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Information:
      return MB_ICONINFORMATION;
    case MessageIcon::Warning:
      return MB_ICONWARNING;
    case MessageIcon::Error:
      return MB_ICONERROR;
    case MessageIcon::Question:
      return MB_ICONQUESTION;
    case MessageIcon::None:
      break;
  }
  return 0;
}

}  // namespace

MessageAnswer Win32Dialogs::messageBox(MessageOwner owner, const std::string& text, const std::string& title,
                                       MessageButtons buttons, MessageIcon icon) {
  const HWND main = static_cast<HWND>(window_.handle());
  const HWND parent = owner == MessageOwner::MainWindow ? main : nullptr;
  // A box without owner shown from the window's own thread: the box's
  // message loop keeps the window painted, and the window is disabled
  // meanwhile so that it ignores input (as an owned box does by itself).
  const bool disable = parent == nullptr && main != nullptr && IsWindow(main) &&
                       GetWindowThreadProcessId(main, nullptr) == GetCurrentThreadId() &&
                       IsWindowEnabled(main);
  if (disable) EnableWindow(main, FALSE);
  const int answer = MessageBoxW(parent, widen(text).c_str(), widen(title).c_str(),
                                 buttonFlags(buttons) | iconFlags(icon));
  if (disable) EnableWindow(main, TRUE);
  switch (answer) {
    case IDOK:
      return MessageAnswer::Ok;
    case IDYES:
      return MessageAnswer::Yes;
    case IDNO:
      return MessageAnswer::No;
    case IDCANCEL:
      return MessageAnswer::Cancel;
    default:
      return answerWhenNotShown(buttons);
  }
}

ChosenPath Win32Dialogs::chooseSaveFile(const std::string& title, const std::string& defaultName,
                                        const std::string& typeName, const std::string& pattern) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return std::nullopt;
  ChosenPath chosen;
  IFileSaveDialog* dialog = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_FileSaveDialog, nullptr, CLSCTX_ALL, IID_IFileSaveDialog,
                                 reinterpret_cast<void**>(&dialog)))) {
    const std::wstring name = widen(typeName);
    const std::wstring spec = widen(pattern);
    const COMDLG_FILTERSPEC type{name.c_str(), spec.c_str()};
    dialog->SetFileTypes(1, &type);
    dialog->SetFileName(widen(defaultName).c_str());
    if (!title.empty()) dialog->SetTitle(widen(title).c_str());
    IShellItem* item = nullptr;
    // Owned by the main window: the window ignores input meanwhile, and the
    // dialog's own message loop keeps it painted.
    if (SUCCEEDED(dialog->Show(static_cast<HWND>(window_.handle()))) && SUCCEEDED(dialog->GetResult(&item))) {
      wchar_t* path = nullptr;
      if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) && path != nullptr) {
        chosen = narrow(path);
        CoTaskMemFree(path);
      }
      item->Release();
    }
    dialog->Release();
  }
  CoUninitialize();
  return chosen;
}

ChosenPath Win32Dialogs::chooseOpenFile(const std::string& title, const std::string& typeName,
                                        const std::string& pattern) {
  // The filter is pairs of zero-terminated texts ending with an empty one.
  std::wstring filter = widen(typeName);
  filter.push_back(L'\0');
  filter += widen(pattern);
  filter.push_back(L'\0');
  filter.push_back(L'\0');
  const std::wstring caption = widen(title);
  wchar_t file[MAX_PATH] = {};
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.lpstrFilter = filter.c_str();
  dialog.lpstrFile = file;
  dialog.nMaxFile = MAX_PATH;
  dialog.lpstrTitle = caption.c_str();
  dialog.hwndOwner = static_cast<HWND>(window_.handle());
  dialog.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
  if (!GetOpenFileNameW(&dialog)) return std::nullopt;
  return narrow(file);
}

}  // namespace kv::platform::win32
