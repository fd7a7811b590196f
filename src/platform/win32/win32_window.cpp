// The main window on Win32. Everything here runs on the main thread except
// post(), which workers call: it copies the report into a heap buffer and
// posts it; the window procedure frees the buffer after reading it, and
// post() frees it itself when the message could not be posted.
#include <windows.h>
#include <windowsx.h>

#include <gdiplus.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "platform/pixel_scale.h"
#include "platform/win32/gdiplus_canvas.h"
#include "platform/win32/wide_text.h"
#include "platform/win32/win32_platform.h"

namespace kv::platform::win32 {
namespace {

// Worker messages: status, progress, ready, error.
constexpr UINT kStatusMessage = WM_USER + 1;
constexpr UINT kProgressMessage = WM_USER + 2;
constexpr UINT kReadyMessage = WM_USER + 3;
constexpr UINT kErrorMessage = WM_USER + 4;
// Icon resource of the program.
constexpr int kIconResource = 599;
// No size, no move, no z-order change, frame changed.
constexpr UINT kFrameChangedFlags = SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED;
static_assert(kFrameChangedFlags == 0x27);

// The effective dots per inch of a monitor: GetDpiForMonitor where the
// system has it (Windows 8.1 and later), else the system's density, which
// is what a program aware of the system's density gets on older systems.
UINT monitorDpi(HMONITOR monitor) {
  using GetDpiForMonitorFn = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
  static const GetDpiForMonitorFn getDpiForMonitor = [] {
    const HMODULE shcore = LoadLibraryW(L"shcore.dll");
    if (shcore == nullptr) return GetDpiForMonitorFn{};
    // Through a plain function pointer, which converts to any other.
    return reinterpret_cast<GetDpiForMonitorFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(shcore, "GetDpiForMonitor")));
  }();
  constexpr int kEffectiveDpi = 0;  // MDT_EFFECTIVE_DPI
  UINT x = 0;
  UINT y = 0;
  if (getDpiForMonitor != nullptr && monitor != nullptr &&
      SUCCEEDED(getDpiForMonitor(monitor, kEffectiveDpi, &x, &y)) && x > 0) {
    return x;
  }
  const HDC screen = GetDC(nullptr);
  const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSX) : 0;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : static_cast<UINT>(kBaseDotsPerInch);
}

// The dots per inch the window is drawn for: GetDpiForWindow where the
// system has it (Windows 10 1607 and later), else its monitor's.
UINT windowDpi(HWND window) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (getDpiForWindow != nullptr) {
    const UINT dpi = getDpiForWindow(window);
    if (dpi > 0) return dpi;
  }
  return monitorDpi(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST));
}

// A worker's text as a zero-terminated wide string on the heap.
wchar_t* heapText(const std::string& utf8) {
  const std::wstring wide = widen(utf8);
  auto* copy = new (std::nothrow) wchar_t[wide.size() + 1];
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
  return copy;
}

}  // namespace

struct Win32Window::State {
  HWND window = nullptr;
  WindowHandler* handler = nullptr;
  int showCommand = SW_SHOWNORMAL;
  std::wstring className;
  // The window's size in logical pixels.
  int width = 0;
  int height = 0;
  // Device pixels per logical pixel, from the density of the monitor the
  // window is on. The launcher lays out and hit-tests in logical pixels;
  // Windows speaks device pixels. Written on the main thread, read also
  // where invalidateRect is called.
  std::atomic<double> scale{1.0};

  int logical(int devicePixels) const { return toLogical(devicePixels, scale); }
  int deviceWidth() const { return toDevice(width, scale); }
  int deviceHeight() const { return toDevice(height, scale); }

  static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
  void paint();
};

Win32Window::Win32Window(int showCommand) : state_(std::make_unique<State>()) {
  state_->showCommand = showCommand;
}

Win32Window::~Win32Window() {
  if (state_->window != nullptr) {
    SetWindowLongPtrW(state_->window, GWLP_USERDATA, 0);
    DestroyWindow(state_->window);
  }
}

void* Win32Window::handle() const { return state_->window; }

LRESULT CALLBACK Win32Window::State::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    auto* state = static_cast<State*>(create->lpCreateParams);
    state->window = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
  }
  auto* state = reinterpret_cast<State*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (state == nullptr || state->handler == nullptr) {
    // Worker buffers that arrive without a handler are still freed.
    if (message == kStatusMessage || message == kErrorMessage) delete[] reinterpret_cast<wchar_t*>(lParam);
    if (message == kProgressMessage) delete reinterpret_cast<float*>(lParam);
    return DefWindowProcW(window, message, wParam, lParam);
  }
  return state->handle(message, wParam, lParam);
}

LRESULT Win32Window::State::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      handler->onDestroy();
      return 0;
    case WM_PAINT:
      paint();
      return 0;
    case WM_SETCURSOR: {
      POINT point{};
      GetCursorPos(&point);
      ScreenToClient(window, &point);
      const Cursor cursor = handler->cursorAt(logical(point.x), logical(point.y));
      SetCursor(LoadCursorW(nullptr, cursor == Cursor::Hand ? IDC_HAND : IDC_ARROW));
      return 1;
    }
    case WM_NCHITTEST: {
      POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      ScreenToClient(window, &point);
      return handler->isDragArea(logical(point.x), logical(point.y)) ? HTCAPTION : HTCLIENT;
    }
    case WM_GETDPISCALEDSIZE: {
      // Moving to a monitor of another density: the window's size there,
      // rounded as the frame will be.
      auto* size = reinterpret_cast<SIZE*>(lParam);
      const double next = scaleForDpi(LOWORD(wParam));
      size->cx = toDevice(width, next);
      size->cy = toDevice(height, next);
      return TRUE;
    }
    case WM_DPICHANGED: {
      // The window went to a monitor of another density (or the density
      // changed): it takes the place the system suggests, and the next
      // frame is drawn and the art scaled for the new density.
      scale = scaleForDpi(LOWORD(wParam));
      const auto* suggested = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                   suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    }
    case WM_TIMER:
      return 0;
    case WM_MOUSEMOVE:
      handler->onMouseMove(logical(GET_X_LPARAM(lParam)), logical(GET_Y_LPARAM(lParam)));
      return 0;
    case WM_LBUTTONDOWN:
      handler->onButtonDown(logical(GET_X_LPARAM(lParam)), logical(GET_Y_LPARAM(lParam)));
      return 0;
    case WM_LBUTTONUP:
      handler->onButtonUp(logical(GET_X_LPARAM(lParam)), logical(GET_Y_LPARAM(lParam)));
      return 0;
    case kStatusMessage:
    case kErrorMessage: {
      // The receiver owns the text from here on.
      std::unique_ptr<wchar_t[]> text(reinterpret_cast<wchar_t*>(lParam));
      Report report;
      report.kind = message == kStatusMessage ? ReportKind::Status : ReportKind::Error;
      report.server = static_cast<int>(wParam);
      if (text) report.text = narrow(text.get());
      handler->onReport(report);
      return 0;
    }
    case kProgressMessage: {
      std::unique_ptr<float> value(reinterpret_cast<float*>(lParam));
      Report report;
      report.kind = ReportKind::Progress;
      report.server = static_cast<int>(wParam);
      report.progress = value ? *value : 0.0f;
      handler->onReport(report);
      return 0;
    }
    case kReadyMessage: {
      Report report;
      report.kind = ReportKind::Ready;
      report.server = static_cast<int>(wParam);
      handler->onReport(report);
      return 0;
    }
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

void Win32Window::State::paint() {
  PAINTSTRUCT ps{};
  HDC target = BeginPaint(window, &ps);
  if (target == nullptr) return;
  RECT client{};
  GetClientRect(window, &client);
  const int w = client.right - client.left;
  const int h = client.bottom - client.top;
  if (w > 0 && h > 0) {
    // The whole frame is drawn off screen at the device's resolution and
    // copied in one step.
    Gdiplus::Bitmap frame(w, h, PixelFormat32bppPARGB);
    if (frame.GetLastStatus() == Gdiplus::Ok) {
      // A new bitmap takes the screen's density, which GDI+ would apply to
      // sizes in points on top of the scale below.
      frame.SetResolution(static_cast<Gdiplus::REAL>(kBaseDotsPerInch),
                          static_cast<Gdiplus::REAL>(kBaseDotsPerInch));
      {
        Gdiplus::Graphics offscreen(&frame);
        // Every frame starts opaque black, so nothing of an earlier frame
        // or of the screen below shows through a frame without background.
        offscreen.Clear(Gdiplus::Color(255, 0, 0, 0));
        offscreen.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAlias);
        offscreen.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        offscreen.SetCompositingQuality(Gdiplus::CompositingQualityHighQuality);
        offscreen.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
        offscreen.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
        // The launcher draws in logical pixels.
        offscreen.ScaleTransform(static_cast<Gdiplus::REAL>(scale), static_cast<Gdiplus::REAL>(scale));
        GdiplusCanvas canvas(offscreen, scale);
        handler->onPaint(canvas);
      }
      // The finished frame replaces what the window showed: copied, not
      // blended, pixel for pixel.
      Gdiplus::Graphics screen(target);
      screen.SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
      screen.SetInterpolationMode(Gdiplus::InterpolationModeNearestNeighbor);
      screen.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
      screen.DrawImage(&frame, 0, 0, w, h);
    }
  }
  EndPaint(window, &ps);
}

bool Win32Window::create(const WindowSpec& spec, WindowHandler& handler) {
  State& s = *state_;
  s.handler = &handler;
  s.className = widen(spec.title);
  s.width = spec.width;
  s.height = spec.height;
  const HINSTANCE instance = GetModuleHandleW(nullptr);

  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_OWNDC;
  windowClass.lpfnWndProc = &State::procedure;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconResource));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
  windowClass.lpszClassName = s.className.c_str();
  RegisterClassExW(&windowClass);  // a second registration fails harmlessly

  // Centred on the primary monitor, at the size its density gives.
  s.scale = scaleForDpi(monitorDpi(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY)));
  const int x = GetSystemMetrics(SM_CXSCREEN) / 2 - s.deviceWidth() / 2;
  const int y = GetSystemMetrics(SM_CYSCREEN) / 2 - s.deviceHeight() / 2;
  const HWND window = CreateWindowExW(0, s.className.c_str(), s.className.c_str(),
                                      WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, x, y, s.deviceWidth(),
                                      s.deviceHeight(), nullptr, nullptr, instance, &s);
  if (window == nullptr) {
    s.handler = nullptr;
    return false;
  }
  // No title bar and no border: the top band drags the window instead.
  const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE) & ~static_cast<LONG_PTR>(WS_CAPTION | WS_THICKFRAME);
  SetWindowLongPtrW(window, GWL_STYLE, style);
  SetWindowPos(window, nullptr, 0, 0, 0, 0, kFrameChangedFlags);
  // The system may give the window another density than the monitor's
  // (a process the system does not treat as aware gets 96).
  const double given = scaleForDpi(windowDpi(window));
  if (given != s.scale) {
    s.scale = given;
    SetWindowPos(window, nullptr, GetSystemMetrics(SM_CXSCREEN) / 2 - s.deviceWidth() / 2,
                 GetSystemMetrics(SM_CYSCREEN) / 2 - s.deviceHeight() / 2, s.deviceWidth(), s.deviceHeight(),
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  return true;
}

void Win32Window::show() {
  if (state_->window != nullptr) ShowWindow(state_->window, state_->showCommand);
}

void Win32Window::update() {
  if (state_->window != nullptr) UpdateWindow(state_->window);
}

void Win32Window::minimize() {
  if (state_->window != nullptr) ShowWindow(state_->window, SW_MINIMIZE);
}

void Win32Window::invalidate() {
  if (state_->window != nullptr) InvalidateRect(state_->window, nullptr, FALSE);
}

void Win32Window::invalidateRect(Rect rect) {
  if (state_->window == nullptr) return;
  // One device pixel more on each side for the smoothed edges of what is
  // drawn at fractional positions.
  const Rect device = toDevice(rect, state_->scale);
  const RECT area{device.x - 1, device.y - 1, device.x + device.width + 1, device.y + device.height + 1};
  InvalidateRect(state_->window, &area, FALSE);
}

void Win32Window::setCursor(Cursor cursor) {
  SetCursor(LoadCursorW(nullptr, cursor == Cursor::Hand ? IDC_HAND : IDC_ARROW));
}

void Win32Window::captureMouse() {
  if (state_->window != nullptr) SetCapture(state_->window);
}

void Win32Window::releaseMouse() { ReleaseCapture(); }

void Win32Window::run() {
  MSG message{};
  for (;;) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0 || got == -1) return;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

void Win32Window::quit() { PostQuitMessage(0); }

Rect Win32Window::frame() const {
  RECT area{};
  if (state_->window == nullptr || !GetWindowRect(state_->window, &area)) return Rect{};
  return Rect{area.left, area.top, area.right - area.left, area.bottom - area.top};
}

bool Win32Window::post(Report report) {
  const HWND window = state_->window;
  if (window == nullptr) return false;
  const auto server = static_cast<WPARAM>(report.server);
  switch (report.kind) {
    case ReportKind::Status:
    case ReportKind::Error: {
      wchar_t* text = heapText(report.text);
      if (text == nullptr) return false;
      const UINT message = report.kind == ReportKind::Status ? kStatusMessage : kErrorMessage;
      if (PostMessageW(window, message, server, reinterpret_cast<LPARAM>(text))) return true;
      delete[] text;  // never delivered: the sender frees it
      return false;
    }
    case ReportKind::Progress: {
      auto* value = new (std::nothrow) float(report.progress);
      if (value == nullptr) return false;
      if (PostMessageW(window, kProgressMessage, server, reinterpret_cast<LPARAM>(value))) return true;
      delete value;
      return false;
    }
    case ReportKind::Ready:
      return PostMessageW(window, kReadyMessage, server, 0) != 0;
  }
  return false;
}

}  // namespace kv::platform::win32
