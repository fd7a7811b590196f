// Facts about the machine on Windows: the registry, WOW64, the WGL probe on
// the main window and loading libraries to look for a symbol.
#include <windows.h>

#include <shlobj.h>

#include <GL/gl.h>

#include "platform/win32/wide_text.h"
#include "platform/win32/win32_platform.h"

namespace kv::platform::win32 {
namespace {

// Where the machine's identity and the client's runtime are recorded.
constexpr wchar_t kCryptographyKey[] = L"SOFTWARE\\Microsoft\\Cryptography";
constexpr wchar_t kRuntimeKey[] = L"SOFTWARE\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\x64";
constexpr wchar_t kRuntimeKeyWow[] = L"SOFTWARE\\Wow6432Node\\Microsoft\\VisualStudio\\14.0\\VC\\Runtimes\\x64";

// The launcher's core joins paths with "/", which Windows accepts as well;
// paths the system hands out are given back that way.
std::string withForwardSlashes(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'\\') c = L'/';
  }
  return narrow(path);
}

}  // namespace

std::string Win32Machine::executablePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 6; ++attempt) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::string();
    if (length < path.size()) {
      path.resize(length);
      return withForwardSlashes(path);
    }
    path.resize(path.size() * 2);
  }
  return std::string();
}

std::string Win32Machine::profileFolder() {
  wchar_t path[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, path) != S_OK) return std::string();
  return withForwardSlashes(path);
}

std::string Win32Machine::machineIdentity() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCryptographyKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
    return "unknown";
  }
  wchar_t value[128] = {};
  DWORD size = sizeof value - sizeof(wchar_t);  // room for a terminator the value may lack
  DWORD type = 0;
  const LSTATUS status =
      RegQueryValueExW(key, L"MachineGuid", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ || size < sizeof(wchar_t)) return "unknown";
  std::wstring text(value, size / sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text.empty() ? "unknown" : narrow(text);
}

bool Win32Machine::runtimeInstalled() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRuntimeKey, 0, KEY_READ, &key) != ERROR_SUCCESS &&
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRuntimeKeyWow, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  DWORD installed = 0;
  DWORD size = sizeof installed;
  (void)RegQueryValueExW(key, L"Installed", nullptr, nullptr, reinterpret_cast<BYTE*>(&installed), &size);
  RegCloseKey(key);
  return installed == 1;
}

bool Win32Machine::is64Bit() {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

bool Win32Machine::claimSingleInstance(const std::string& className) {
  return FindWindowW(widen(className).c_str(), nullptr) == nullptr;
}

std::optional<std::string> Win32Machine::probeOpenGLVersion() {
  const auto window = static_cast<HWND>(window_.handle());
  if (window == nullptr) return std::nullopt;
  const HDC dc = GetDC(window);
  if (dc == nullptr) return std::nullopt;
  PIXELFORMATDESCRIPTOR wanted{};
  wanted.nSize = sizeof wanted;
  wanted.nVersion = 1;
  wanted.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
  wanted.iPixelType = PFD_TYPE_RGBA;
  wanted.cColorBits = 24;
  wanted.cDepthBits = 16;
  wanted.iLayerType = PFD_MAIN_PLANE;
  std::optional<std::string> version;
  const int format = ChoosePixelFormat(dc, &wanted);
  if (format != 0 && SetPixelFormat(dc, format, &wanted)) {
    if (const HGLRC context = wglCreateContext(dc)) {
      if (wglMakeCurrent(dc, context)) {
        if (const auto* text = reinterpret_cast<const char*>(glGetString(GL_VERSION))) version = text;
        wglMakeCurrent(nullptr, nullptr);
      }
      wglDeleteContext(context);
    }
  }
  ReleaseDC(window, dc);
  // The probe drew nothing; the next frame repaints the whole window.
  InvalidateRect(window, nullptr, FALSE);
  return version;
}

bool Win32Machine::libraryExports(const std::string& path, const std::string& symbol) {
  // With a full path and the altered search order, the libraries that this
  // one needs are looked for in its own folder first (the server folder),
  // as when the game client loads it.
  char full[MAX_PATH] = {};
  const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  const bool absolute = length > 0 && length < MAX_PATH;
  const HMODULE library = absolute ? LoadLibraryExA(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)
                                   : LoadLibraryA(path.c_str());
  if (library == nullptr) return false;
  const bool found = GetProcAddress(library, symbol.c_str()) != nullptr;
  FreeLibrary(library);
  return found;
}

}  // namespace kv::platform::win32
