#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kv::platform::fake {

// A message box that was shown.
struct ShownBox {
  MessageOwner owner;
  std::string text;
  std::string title;
  MessageButtons buttons;
  MessageIcon icon;
};

// Records boxes and answers them from a script (default: Ok / Yes).
class FakeDialogs : public Dialogs {
 public:
  MessageAnswer messageBox(MessageOwner owner, const std::string& text, const std::string& title,
                           MessageButtons buttons, MessageIcon icon) override;
  ChosenPath chooseSaveFile(const std::string& title, const std::string& defaultName,
                            const std::string& typeName, const std::string& pattern) override;
  ChosenPath chooseOpenFile(const std::string& title, const std::string& typeName,
                            const std::string& pattern) override;
  std::vector<std::string> openTitles() const;  // titles of the open dialogs shown
  std::vector<std::string> saveTitles() const;  // titles of the save dialogs shown

  // Thread-safe views and scripting.
  std::vector<ShownBox> boxes() const;
  void queueAnswer(MessageAnswer answer);
  void queueSavePath(ChosenPath path);
  void queueOpenPath(ChosenPath path);
  std::vector<std::string> saveDefaults() const;  // default names offered

 private:
  mutable std::mutex mutex_;
  std::vector<ShownBox> boxes_;
  std::deque<MessageAnswer> answers_;
  std::deque<ChosenPath> savePaths_;
  std::deque<ChosenPath> openPaths_;
  std::vector<std::string> saveDefaults_;
  std::vector<std::string> openTitles_;
  std::vector<std::string> saveTitles_;
};

struct StartedProcess {
  std::string executable;
  std::string workingDirectory;
};

class FakeShell : public Shell {
 public:
  void openUrl(const std::string& url) override { urls.push_back(url); }
  bool startProcess(const std::string& executable, const std::string& workingDirectory) override {
    started.push_back({executable, workingDirectory});
    return startSucceeds;
  }
  std::vector<std::string> urls;
  std::vector<StartedProcess> started;
  bool startSucceeds = true;
};

class FakeMachine : public Machine {
 public:
  std::string executablePath() override { return exePath; }
  std::string profileFolder() override { return profile; }
  std::string machineIdentity() override { return identity; }
  bool runtimeInstalled() override { return runtime; }
  bool is64Bit() override { return sixtyFour; }
  bool claimSingleInstance(const std::string&) override { return singleInstance; }
  std::optional<std::string> probeOpenGLVersion() override { return glVersion; }
  bool libraryExports(const std::string& path, const std::string& symbol) override;

  std::string exePath = "/opt/kvlauncher/kvlauncher";
  std::string profile = "/home/player";
  std::string identity = "unknown";
  bool runtime = true;
  bool sixtyFour = true;
  bool singleInstance = true;
  std::optional<std::string> glVersion;
  // path -> symbols that library exports; absent paths export nothing.
  std::map<std::string, std::vector<std::string>> exports;
};

// A sound that remembers what was done to it.
class FakeSound : public Sound {
 public:
  explicit FakeSound(std::string path) : path_(std::move(path)) {}
  void play() override;
  void stop() override;
  void setRepeat(bool repeat) override { repeat_ = repeat; }
  void setVolume(float volume) override { volume_ = volume; }
  bool isPlaying() const override { return playing_; }
  const std::string& path() const { return path_; }
  bool repeat() const { return repeat_; }
  float volume() const { return volume_; }
  int playCount() const { return plays_; }
  int stopCount() const { return stops_; }

 private:
  std::string path_;
  bool playing_ = false;
  bool repeat_ = false;
  float volume_ = 1.0f;
  int plays_ = 0;
  int stops_ = 0;
};

// Opens a FakeSound for every existing file when the device is open.
class FakeAudio : public Audio {
 public:
  bool openDevice() override { return deviceOpen = deviceAvailable; }
  bool hasDevice() const override { return deviceOpen; }
  std::unique_ptr<Sound> openSound(const std::string& path, SoundMode mode) override;
  bool deviceAvailable = true;
  bool deviceOpen = false;
  // The most recent sound opened for each path (not owned; valid while the
  // owner keeps it).
  std::map<std::string, FakeSound*> opened;
  std::vector<std::pair<std::string, SoundMode>> openLog;
};

class FakeImage : public Image {
 public:
  FakeImage(std::string path, bool ok, int w, int h) : path_(std::move(path)), ok_(ok), w_(w), h_(h) {}
  bool ok() const override { return ok_; }
  int width() const override { return w_; }
  int height() const override { return h_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool ok_;
  int w_, h_;
};

class FakeFont : public Font {
 public:
  explicit FakeFont(float points) : points_(points) {}
  bool ok() const override { return true; }
  float pointSize() const override { return points_; }

 private:
  float points_;
};

// Images exist when their file exists; fonts likewise.
class FakeGraphics : public Graphics {
 public:
  std::unique_ptr<Image> loadImage(const std::string& path) override;
  std::unique_ptr<Font> loadFont(const std::string& path, float points) override;
  std::vector<std::string> imageLoads;
};

// One recorded drawing call.
struct DrawCall {
  enum class Kind { Image, Fill, Stroke, Line, Ellipse, Text, TextAt } kind;
  Rect rect;            // destination / box / rect
  Rect source;          // Image: source rectangle
  Argb colour = 0;
  std::string text;     // Text: the string; Image: the image's path
  float fontPoints = 0;
  HAlign h = HAlign::Left;
  VAlign v = VAlign::Top;
};

class FakeCanvas : public Canvas {
 public:
  void drawImage(const Image& image, Rect source, Rect destination) override;
  void fillRect(Rect rect, Argb colour) override;
  void strokeRect(Rect rect, Argb colour) override;
  void drawLine(int x1, int y1, int x2, int y2, float width, Argb colour) override;
  void fillEllipse(Rect box, Argb colour) override;
  void drawText(const std::string& utf8, const Font& font, Argb colour, Rect box, HAlign h,
                VAlign v) override;
  void drawTextAt(const std::string& utf8, const Font& font, Argb colour, int x, int y) override;
  // kCharacterWidth pixels per UTF-8 character, whatever the font.
  int textWidth(const std::string& utf8, const Font& font) override;
  static constexpr int kCharacterWidth = 6;
  std::vector<DrawCall> calls;
};

// A window without a screen: records invalidations, cursor, capture and
// queued reports; run() drains the queued reports into the handler.
class FakeWindow : public Window {
 public:
  bool create(const WindowSpec& spec, WindowHandler& handler) override;
  void show() override { shown = true; }
  void update() override { ++updates; }
  void minimize() override { minimized = true; }
  void invalidate() override;
  void invalidateRect(Rect rect) override;
  void setCursor(Cursor cursor) override { cursor_ = cursor; }
  void captureMouse() override { captured = true; }
  void releaseMouse() override { captured = false; }
  void run() override;
  void quit() override { quitRequested = true; }
  Rect frame() const override { return {0, 0, spec_.width, spec_.height}; }
  bool post(Report report) override;

  // Hands every queued report to the handler on the calling thread.
  void deliverReports();
  std::vector<Report> takeReports();  // the queue, without delivering
  std::vector<Report> queuedReports() const;  // a copy of the queue, which stays
  int fullInvalidations() const;
  std::vector<Rect> rectInvalidations() const;
  void clearInvalidations();

  bool created = false;
  bool shown = false;
  bool minimized = false;
  bool captured = false;
  bool quitRequested = false;
  bool refusePosts = false;
  int updates = 0;  // post() answers false (queue full)
  Cursor cursor_ = Cursor::Arrow;
  WindowHandler* handler = nullptr;

 private:
  WindowSpec spec_;
  mutable std::mutex mutex_;
  std::deque<Report> queue_;
  int full_ = 0;
  std::vector<Rect> rects_;
};

// A whole fake platform, owning its parts.
struct FakePlatform {
  FakeWindow window;
  FakeDialogs dialogs;
  FakeShell shell;
  FakeMachine machine;
  FakeAudio audio;
  FakeGraphics graphics;
  Platform platform{window, dialogs, shell, machine, audio, graphics};
};

}  // namespace kv::platform::fake
