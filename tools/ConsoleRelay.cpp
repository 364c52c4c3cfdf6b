#include "ConsoleRelay.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zelto::tool {

namespace {

constexpr std::size_t kTranscriptLimit = 1u << 20;
constexpr int kBarWidth = 30;

bool stderrIsTerminal() {
  if (isatty(STDERR_FILENO) == 0) return false;
  const char* term = std::getenv("TERM");
  return term == nullptr || std::strcmp(term, "dumb") != 0;
}

void writeStderr(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

ProgressBar::ProgressBar(bool enabled) : enabled_(enabled && stderrIsTerminal()) {}

ProgressBar::~ProgressBar() { finish(); }

void ProgressBar::update(double fraction, const std::string& label) {
  if (!enabled_) return;
  fraction_ = std::clamp(fraction, 0.0, 1.0);
  label_ = label;
  const auto now = std::chrono::steady_clock::now();
  // At most ten redraws a second, but the end is always shown.
  if (drawn_ && fraction_ < 1.0 && now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
  draw();
}

void ProgressBar::draw() {
  const int filled = static_cast<int>(std::lround(fraction_ * kBarWidth));
  std::string text = "\r[";
  text.append(static_cast<std::size_t>(filled), '#');
  text.append(static_cast<std::size_t>(kBarWidth - filled), '.');
  char percent[16];
  std::snprintf(percent, sizeof percent, "] %3d%% ", static_cast<int>(fraction_ * 100.0));
  text += percent;
  text += label_;
  text += "\x1b[K";
  writeStderr(text);
  drawn_ = true;
}

void ProgressBar::clear() {
  if (!enabled_ || !drawn_) return;
  writeStderr("\r\x1b[K");
  drawn_ = false;
}

void ProgressBar::redraw() {
  if (!enabled_ || label_.empty()) return;
  lastDraw_ = std::chrono::steady_clock::now();
  draw();
}

void ProgressBar::finish() {
  clear();
  enabled_ = false;
}

ConsoleRelay::ConsoleRelay(std::ostream& stream, ProgressBar* bar)
    : stream_(stream), original_(stream.rdbuf()), bar_(bar) {
  stream_.flush();
  stream_.rdbuf(this);
}

ConsoleRelay::~ConsoleRelay() {
  forwardCompleteLines(true);
  stream_.rdbuf(original_);
}

void ConsoleRelay::setMode(Mode mode) {
  if (mode == mode_) return;
  forwardCompleteLines(true);
  mode_ = mode;
}

ConsoleRelay::int_type ConsoleRelay::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char ch = traits_type::to_char_type(c);
  take(&ch, 1);
  return c;
}

std::streamsize ConsoleRelay::xsputn(const char* s, std::streamsize n) {
  take(s, static_cast<std::size_t>(n));
  return n;
}

int ConsoleRelay::sync() {
  forwardCompleteLines(false);
  return 0;
}

void ConsoleRelay::take(const char* s, std::size_t n) {
  if (mode_ == Mode::Divert) {
    diverted_.append(s, n);
    return;
  }
  pending_.append(s, n);
  if (std::memchr(s, '\n', n) != nullptr) forwardCompleteLines(false);
}

void ConsoleRelay::forwardCompleteLines(bool includePartial) {
  if (pending_.empty()) return;
  std::size_t end = includePartial ? pending_.size() : pending_.rfind('\n');
  if (end == std::string::npos) return;
  if (!includePartial) ++end;  // keep the newline with its line
  if (mode_ == Mode::Divert) {
    diverted_.append(pending_, 0, end);
  } else {
    if (bar_ != nullptr) bar_->clear();
    original_->sputn(pending_.data(), static_cast<std::streamsize>(end));
    original_->pubsync();
    transcript_.append(pending_, 0, end);
    if (transcript_.size() > kTranscriptLimit) {
      const std::size_t cut = transcript_.find('\n', transcript_.size() - kTranscriptLimit / 2);
      transcript_.erase(0, cut == std::string::npos ? transcript_.size() : cut + 1);
    }
    if (bar_ != nullptr) bar_->redraw();
  }
  pending_.erase(0, end);
}

}  // namespace zelto::tool
