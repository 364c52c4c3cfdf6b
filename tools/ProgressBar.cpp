#include "ProgressBar.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace zelto::tool {

namespace {

constexpr int kBarWidth = 10;  // leaves room for the live estimate in 80 columns
constexpr std::chrono::milliseconds kRedrawPeriod(100);

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

int ProgressBar::ClearOnFlush::sync() {
  bar_.clear();
  return 0;
}

ProgressBar::ProgressBar(bool enabled) : enabled_(enabled && stderrIsTerminal()) {
  if (enabled_) previousTie_ = std::cout.tie(&tie_);
}

ProgressBar::~ProgressBar() {
  clear();
  if (enabled_) std::cout.tie(previousTie_);
}

bool ProgressBar::due() const {
  return enabled_ && (!drawn_ || std::chrono::steady_clock::now() - lastDraw_ >= kRedrawPeriod);
}

void ProgressBar::update(double fraction, const std::string& label) {
  if (!enabled_) return;
  fraction_ = std::clamp(fraction, 0.0, 1.0);
  label_ = label;
  // At most ten redraws a second, but the end is always shown.
  if (fraction_ < 1.0 && !due()) return;
  lastDraw_ = std::chrono::steady_clock::now();
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

}  // namespace zelto::tool
