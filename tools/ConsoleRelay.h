#pragma once

#include <chrono>
#include <ostream>
#include <streambuf>
#include <string>

namespace zelto::tool {

//! A one-line progress bar on standard error, drawn only when standard error is a terminal.
//! It is redrawn in place ("\r" and erase-to-end-of-line) at most ten times a second.
class ProgressBar {
 public:
  //! enabled = false (or standard error not a terminal) makes every call a no-op.
  explicit ProgressBar(bool enabled);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  bool active() const { return enabled_; }

  //! fraction in [0, 1]; label is shown after the bar.
  void update(double fraction, const std::string& label);
  //! Erases the bar from the terminal (before a line is written to the same terminal).
  void clear();
  //! Draws the last state again (after such a line).
  void redraw();
  //! Erases the bar for good.
  void finish();

 private:
  void draw();

  bool enabled_;
  bool drawn_ = false;
  double fraction_ = 0.0;
  std::string label_;
  std::chrono::steady_clock::time_point lastDraw_{};
};

//! Stands in for the stream buffer of std::cout while the libraries run, so that
//!  - every line they print reaches standard output whole and unchanged, with the progress bar
//!    taken off the terminal line first and put back after it (Forward mode), and
//!  - the tool can read what they printed: the estimation report is the only place where the
//!    estimator publishes the standard deviations of its estimate (the transcript).
//! In Divert mode the text is kept for the tool and not shown (used for the extra estimators of
//! a convergence trace, whose console lines would only repeat the main run's).
//! The libraries write their lines through std::cout; installing this buffer changes nothing of
//! what they write, only where it goes.
class ConsoleRelay : public std::streambuf {
 public:
  enum class Mode { Forward, Divert };

  //! Installs itself as the buffer of `stream` (std::cout); the destructor puts the previous
  //! buffer back after passing on any unfinished line.
  ConsoleRelay(std::ostream& stream, ProgressBar* bar);
  ~ConsoleRelay() override;
  ConsoleRelay(const ConsoleRelay&) = delete;
  ConsoleRelay& operator=(const ConsoleRelay&) = delete;

  void setMode(Mode mode);
  Mode mode() const { return mode_; }

  //! Forwarded text (the newest megabyte at most, whole lines).
  const std::string& transcript() const { return transcript_; }
  void clearTranscript() { transcript_.clear(); }
  //! Diverted text since the last clearDiverted().
  const std::string& diverted() const { return diverted_; }
  void clearDiverted() { diverted_.clear(); }

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;

 private:
  void take(const char* s, std::size_t n);
  void forwardCompleteLines(bool includePartial);

  std::ostream& stream_;
  std::streambuf* original_;
  ProgressBar* bar_;
  Mode mode_ = Mode::Forward;
  std::string pending_;
  std::string transcript_;
  std::string diverted_;
};

}  // namespace zelto::tool
