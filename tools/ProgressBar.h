#pragma once

#include <chrono>
#include <ostream>
#include <streambuf>
#include <string>

namespace zelto::tool {

//! A one-line progress bar on standard error, drawn only when standard error is a terminal.
//! It is redrawn in place ("\r" and erase-to-end-of-line) at most ten times a second.
//!
//! While the bar is shown, the libraries and the tool keep writing whole lines to std::cout,
//! which may share the terminal. The bar takes itself off the line before each of them: it ties
//! a stream of its own to std::cout, and a stream flushes its tied stream before every output.
//! The next update() draws it again below the line.
class ProgressBar {
 public:
  //! enabled = false (or standard error not a terminal) makes every call a no-op.
  explicit ProgressBar(bool enabled);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  bool active() const { return enabled_; }
  //! True when update() would draw now; lets a caller skip preparing a label nobody sees.
  bool due() const;

  //! fraction in [0, 1]; label is shown after the bar.
  void update(double fraction, const std::string& label);
  //! Erases the bar from the terminal.
  void clear();

 private:
  // Its sync() is what std::cout's flush of the tied stream calls.
  class ClearOnFlush : public std::streambuf {
   public:
    explicit ClearOnFlush(ProgressBar& bar) : bar_(bar) {}

   protected:
    int sync() override;

   private:
    ProgressBar& bar_;
  };

  void draw();

  bool enabled_;
  bool drawn_ = false;
  double fraction_ = 0.0;
  std::string label_;
  std::chrono::steady_clock::time_point lastDraw_{};
  ClearOnFlush clearOnFlush_{*this};
  std::ostream tie_{&clearOnFlush_};
  std::ostream* previousTie_ = nullptr;
};

}  // namespace zelto::tool
