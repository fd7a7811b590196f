#include "platform/fake/fake_platform.h"

#include <sys/stat.h>

#include <algorithm>

namespace kv::platform::fake {
namespace {

bool fileExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

MessageAnswer FakeDialogs::messageBox(MessageOwner owner, const std::string& text,
                                      const std::string& title, MessageButtons buttons,
                                      MessageIcon icon) {
  std::lock_guard<std::mutex> lock(mutex_);
  boxes_.push_back({owner, text, title, buttons, icon});
  if (!answers_.empty()) {
    const MessageAnswer answer = answers_.front();
    answers_.pop_front();
    return answer;
  }
  return buttons == MessageButtons::Ok ? MessageAnswer::Ok : MessageAnswer::Yes;
}

ChosenPath FakeDialogs::chooseSaveFile(const std::string& title, const std::string& defaultName,
                                       const std::string&, const std::string&) {
  std::lock_guard<std::mutex> lock(mutex_);
  saveTitles_.push_back(title);
  saveDefaults_.push_back(defaultName);
  if (savePaths_.empty()) return std::nullopt;
  ChosenPath path = savePaths_.front();
  savePaths_.pop_front();
  return path;
}

ChosenPath FakeDialogs::chooseOpenFile(const std::string& title, const std::string&,
                                       const std::string&) {
  std::lock_guard<std::mutex> lock(mutex_);
  openTitles_.push_back(title);
  if (openPaths_.empty()) return std::nullopt;
  ChosenPath path = openPaths_.front();
  openPaths_.pop_front();
  return path;
}

std::vector<ShownBox> FakeDialogs::boxes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return boxes_;
}

void FakeDialogs::queueAnswer(MessageAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answers_.push_back(answer);
}

void FakeDialogs::queueSavePath(ChosenPath path) {
  std::lock_guard<std::mutex> lock(mutex_);
  savePaths_.push_back(std::move(path));
}

void FakeDialogs::queueOpenPath(ChosenPath path) {
  std::lock_guard<std::mutex> lock(mutex_);
  openPaths_.push_back(std::move(path));
}

std::vector<std::string> FakeDialogs::openTitles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return openTitles_;
}

std::vector<std::string> FakeDialogs::saveTitles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return saveTitles_;
}

std::vector<std::string> FakeDialogs::saveDefaults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return saveDefaults_;
}

bool FakeMachine::libraryExports(const std::string& path, const std::string& symbol) {
  const auto it = exports.find(path);
  if (it == exports.end()) return false;
  return std::find(it->second.begin(), it->second.end(), symbol) != it->second.end();
}

void FakeSound::play() {
  playing_ = true;
  ++plays_;
}

void FakeSound::stop() {
  playing_ = false;
  ++stops_;
}

std::unique_ptr<Sound> FakeAudio::openSound(const std::string& path, SoundMode mode) {
  openLog.emplace_back(path, mode);
  if (!deviceOpen || !fileExists(path)) return nullptr;
  auto sound = std::make_unique<FakeSound>(path);
  opened[path] = sound.get();
  return sound;
}

std::unique_ptr<Image> FakeGraphics::loadImage(const std::string& path) {
  imageLoads.push_back(path);
  return std::make_unique<FakeImage>(path, fileExists(path), 128, 32);
}

std::unique_ptr<Font> FakeGraphics::loadFont(const std::string& path, float points) {
  if (!fileExists(path)) return nullptr;
  return std::make_unique<FakeFont>(points);
}

void FakeCanvas::drawImage(const Image& image, Rect source, Rect destination) {
  DrawCall call{DrawCall::Kind::Image, destination, source};
  if (const auto* fakeImage = dynamic_cast<const FakeImage*>(&image)) call.text = fakeImage->path();
  calls.push_back(call);
}

void FakeCanvas::fillRect(Rect rect, Argb colour) {
  calls.push_back({DrawCall::Kind::Fill, rect, {}, colour});
}

void FakeCanvas::strokeRect(Rect rect, Argb colour) {
  calls.push_back({DrawCall::Kind::Stroke, rect, {}, colour});
}

void FakeCanvas::drawLine(int x1, int y1, int x2, int y2, float, Argb colour) {
  calls.push_back({DrawCall::Kind::Line, {x1, y1, x2 - x1, y2 - y1}, {}, colour});
}

void FakeCanvas::fillEllipse(Rect box, Argb colour) {
  calls.push_back({DrawCall::Kind::Ellipse, box, {}, colour});
}

void FakeCanvas::drawText(const std::string& utf8, const Font& font, Argb colour, Rect box,
                          HAlign h, VAlign v) {
  calls.push_back({DrawCall::Kind::Text, box, {}, colour, utf8, font.pointSize(), h, v});
}

void FakeCanvas::drawTextAt(const std::string& utf8, const Font& font, Argb colour, int x, int y) {
  calls.push_back({DrawCall::Kind::TextAt, {x, y, 0, 0}, {}, colour, utf8, font.pointSize()});
}

int FakeCanvas::textWidth(const std::string& utf8, const Font&) {
  int characters = 0;
  for (const char c : utf8) characters += (static_cast<unsigned char>(c) & 0xC0u) != 0x80u ? 1 : 0;
  return characters * kCharacterWidth;
}

bool FakeWindow::create(const WindowSpec& spec, WindowHandler& h) {
  spec_ = spec;
  handler = &h;
  created = true;
  return true;
}

void FakeWindow::invalidate() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++full_;
}

void FakeWindow::invalidateRect(Rect rect) {
  std::lock_guard<std::mutex> lock(mutex_);
  rects_.push_back(rect);
}

bool FakeWindow::post(Report report) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (refusePosts) return false;
  queue_.push_back(std::move(report));
  return true;
}

void FakeWindow::run() { deliverReports(); }

void FakeWindow::deliverReports() {
  for (Report& report : takeReports()) {
    if (handler != nullptr) handler->onReport(report);
  }
}

std::vector<Report> FakeWindow::takeReports() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Report> out(queue_.begin(), queue_.end());
  queue_.clear();
  return out;
}

std::vector<Report> FakeWindow::queuedReports() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {queue_.begin(), queue_.end()};
}

int FakeWindow::fullInvalidations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return full_;
}

std::vector<Rect> FakeWindow::rectInvalidations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rects_;
}

void FakeWindow::clearInvalidations() {
  std::lock_guard<std::mutex> lock(mutex_);
  full_ = 0;
  rects_.clear();
}

}  // namespace kv::platform::fake
