#pragma once

// Shared pieces of the fuzz targets: a scratch directory, file writing, a byte reader and a
// sink for the libraries' console output (printing every line would slow fuzzing tenfold).

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <streambuf>
#include <string>

#include <unistd.h>

namespace zelto::fuzz {

//! What update() throws for a sample without IMU data.
inline constexpr const char* kImuMissing =
    "IMU data is not available \xE2\x80\x94 make sure the IMU is enabled (Rev K: appmode should "
    "be 2)";

//! A directory of our own for the files the targets write, created once per process.
inline const std::string& scratchDirectory() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/zelto-fuzz-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    return std::string(made);
  }();
  // Removed when the process ends normally, so repeated runs leave nothing behind. Registered
  // after dir is complete, so the handler runs before dir is destroyed.
  static const bool cleanup = [] {
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    });
    return true;
  }();
  static_cast<void>(cleanup);
  return dir;
}

inline std::string writeFile(const std::string& name, const void* data, std::size_t size) {
  const std::string path = scratchDirectory() + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::abort();
  }
  return path;
}

inline bool startsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

//! Reports an unexpected exception or message and stops the fuzzer with a crash.
[[noreturn]] inline void fail(const char* what, const char* detail) {
  std::fprintf(stderr, "unexpected %s: %s\n", what, detail);
  std::abort();
}

//! Discards everything written to it.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

//! Silences std::cout while alive (set ZELTO_FUZZ_VERBOSE=1 to see the output).
class QuietCout {
 public:
  QuietCout() {
    if (std::getenv("ZELTO_FUZZ_VERBOSE") == nullptr) previous_ = std::cout.rdbuf(&sink_);
  }
  ~QuietCout() {
    if (previous_ != nullptr) std::cout.rdbuf(previous_);
  }
  QuietCout(const QuietCout&) = delete;
  QuietCout& operator=(const QuietCout&) = delete;

 private:
  NullBuffer sink_;
  std::streambuf* previous_ = nullptr;
};

//! Reads fixed-size values from the fuzzer's bytes; zeros once they run out.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }

  std::uint8_t byte() {
    return pos_ < size_ ? data_[pos_++] : 0;
  }

  double rawDouble() {
    double value = 0.0;
    std::uint8_t bytes[sizeof(double)] = {};
    for (auto& b : bytes) b = byte();
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }

  //! A small, well-behaved number in [-scale, scale] from two bytes.
  double smallDouble(double scale) {
    const int v = (static_cast<int>(byte()) << 8) | byte();
    return scale * (v / 32767.5 - 1.0);
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

//! A sample from the bytes: mostly plausible motion so that the libraries get past their
//! start-up, mixed with raw doubles (NaN, infinities, huge values) and all-zero IMU parts.
inline void readSample(ByteReader& in, double& time, std::array<double, 12>& sample) {
  const std::uint8_t kind = in.byte();
  switch (kind % 8) {
    case 0:  // raw bytes for the time and every value
      time = in.rawDouble();
      for (double& v : sample) v = in.rawDouble();
      break;
    case 1:  // plausible values, then one raw value somewhere
      for (double& v : sample) v = in.smallDouble(20.0);
      sample[in.byte() % 12] = in.rawDouble();
      time += 0.001;
      break;
    case 2:  // IMU missing
      for (int i = 0; i < 6; ++i) sample[i] = in.smallDouble(20.0);
      for (int i = 6; i < 12; ++i) sample[i] = (in.byte() & 1) ? -0.0 : 0.0;
      time += 0.001;
      break;
    case 3:  // time steps back or repeats
      time -= (in.byte() % 4) * 0.5e-5 * (in.byte() % 3);
      for (double& v : sample) v = in.smallDouble(20.0);
      break;
    default:  // plausible motion with a varying step
      time += 0.0005 * (1 + in.byte() % 8);
      for (double& v : sample) v = in.smallDouble(10.0);
      sample[8] += 9.81;
      break;
  }
}

}  // namespace zelto::fuzz
