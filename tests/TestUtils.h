#pragma once

#include <gtest/gtest.h>

#include <Eigen/Core>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace zelto::test {

//! Compares two Eigen objects entry by entry; prints both and their difference on failure.
template <typename A, typename B>
::testing::AssertionResult eigenNear(const char* aExpr, const char* bExpr, const char*, const A& a,
                                     const B& b, double tolerance) {
  if (a.rows() != b.rows() || a.cols() != b.cols()) {
    return ::testing::AssertionFailure()
           << aExpr << " is " << a.rows() << "x" << a.cols() << " but " << bExpr << " is "
           << b.rows() << "x" << b.cols();
  }
  const auto diff = (a - b).eval();
  if (diff.array().abs().maxCoeff() <= tolerance) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << aExpr << " and " << bExpr << " differ by more than " << tolerance << "\n"
         << aExpr << " =\n"
         << a << "\n"
         << bExpr << " =\n"
         << b << "\ndifference =\n"
         << diff;
}

#define EXPECT_EIGEN_NEAR(a, b, tol) EXPECT_PRED_FORMAT3(::zelto::test::eigenNear, a, b, tol)
#define ASSERT_EIGEN_NEAR(a, b, tol) ASSERT_PRED_FORMAT3(::zelto::test::eigenNear, a, b, tol)

//! Captures everything written to std::cout while alive.
class CoutCapture {
 public:
  CoutCapture() : previous_(std::cout.rdbuf(buffer_.rdbuf())) {}
  ~CoutCapture() { std::cout.rdbuf(previous_); }
  CoutCapture(const CoutCapture&) = delete;
  CoutCapture& operator=(const CoutCapture&) = delete;

  std::string str() const { return buffer_.str(); }
  void reset() { buffer_.str(""); }

 private:
  std::ostringstream buffer_;
  std::streambuf* previous_;
};

//! Collects console output written from several threads. Every write the stream makes is
//! appended under a lock, so one write stays whole, but a line written in several pieces can
//! be split by another thread's output: the yield after each write makes that likely.
//! Install it with std::cout.rdbuf(&buffer).
class LockedCaptureBuffer : public std::streambuf {
 public:
  std::string str() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      std::lock_guard<std::mutex> lock(mutex_);
      text_.push_back(traits_type::to_char_type(c));
    }
    std::this_thread::yield();
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      text_.append(s, static_cast<std::size_t>(n));
    }
    std::this_thread::yield();
    return n;
  }

 private:
  std::mutex mutex_;
  std::string text_;
};

// Expected console lines, written out byte by byte.
inline std::string infoLine(const std::string& m) {
  return "[\x1b[38;2;255;127;0mzlt\x1b[0m_\x1b[38;2;135;206;250mINFO\x1b[0m] " + m + "\n";
}
inline std::string warnLine(const std::string& m) {
  return "[\x1b[38;2;255;127;0mzlt\x1b[0m_\x1b[38;2;255;255;0mWARN\x1b[0m] " + m + "\n";
}
inline std::string errorLine(const std::string& m) {
  return "[\x1b[38;2;255;127;0mzlt\x1b[0m_\x1b[38;2;255;0;0mERROR\x1b[0m] " + m + "\n";
}
inline std::string runtimeLine(const std::string& m) {
  return "[\x1b[38;2;255;127;0mzlt\x1b[0m_\x1b[38;2;61;104;245mINFO_RUNTIME\x1b[0m] " + m + "\n";
}

}  // namespace zelto::test
