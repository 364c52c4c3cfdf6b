#pragma once

// Shared pieces of the fuzz targets: the fuzzer's bytes as files and as values, samples made from
// them, and a console silenced unless asked otherwise. Scratch files and the console sink are
// those of the tests and benchmarks (HostHarness.h).

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "HostHarness.h"

namespace zelto::fuzz {

//! What update() throws for a sample without IMU data.
inline constexpr const char* kImuMissing =
    "IMU data is not available \xE2\x80\x94 make sure the IMU is enabled (Rev K: appmode should "
    "be 2)";

//! The fuzzer's bytes as a file in the scratch directory; returns its path.
inline std::string writeBytes(const std::string& name, const std::uint8_t* data, std::size_t size) {
  return harness::writeScratchFile(name,
                                   std::string_view(reinterpret_cast<const char*>(data), size));
}

inline bool startsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

//! Reports an unexpected exception or message and stops the fuzzer with a crash.
[[noreturn]] inline void fail(const char* what, const char* detail) {
  std::fprintf(stderr, "unexpected %s: %s\n", what, detail);
  std::abort();
}

//! Silences std::cout while alive (set ZELTO_FUZZ_VERBOSE=1 to see the output).
class QuietCout : public harness::QuietCout {
 public:
  QuietCout() : harness::QuietCout(std::getenv("ZELTO_FUZZ_VERBOSE") == nullptr) {}
};

//! Reads fixed-size values from the fuzzer's bytes; zeros once they run out.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }

  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  //! Eight bytes, least significant first, as the bits of a double.
  double rawDouble() {
    // Assembled in an integer: a byte array here trips a false GCC overflow warning.
    std::uint64_t bits = 0;
    for (unsigned i = 0; i < sizeof bits; ++i) bits |= std::uint64_t{byte()} << (8 * i);
    double value = 0.0;
    std::memcpy(&value, &bits, sizeof value);
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

//! A tool turned and swung smoothly by hand: gravity sweeps the sensor frame, the rates are
//! those of the same angles, and the wrench is a rigid load's, so a stream of these gives the
//! estimator varied, consistent rows and lets its covariance become defined.
inline void smoothSample(double t, double phase, std::array<double, 12>& s) {
  const double a = 1.2 * std::sin(0.9 * t + phase), da = 1.08 * std::cos(0.9 * t + phase);
  const double b = 0.8 * std::sin(1.7 * t + 2.0 * phase);
  const double db = 1.36 * std::cos(1.7 * t + 2.0 * phase);
  const double ax = -9.81 * std::sin(b), ay = 9.81 * std::cos(b) * std::sin(a),
               az = 9.81 * std::cos(b) * std::cos(a) + 0.5 * std::sin(3.1 * t);
  const double mass = 1.2, cx = 0.01, cy = -0.02, cz = 0.06;
  s = {-mass * ax + 0.3,
       -mass * ay - 0.2,
       -mass * az + 0.1,
       mass * (ay * cz - az * cy),
       mass * (az * cx - ax * cz),
       mass * (ax * cy - ay * cx),
       ax,
       ay,
       az,
       da,
       db,
       0.6 * std::cos(2.3 * t)};
}

//! A run of many samples from a few bytes, so that the estimator's ±25 ms window fills and
//! the estimate gets going: smooth motion at a base step of 0.5–4 ms with jitter up to ±90 %
//! of the step, and optionally an exact repeat, a near repeat (within 1e-5 s either way) or a
//! gap of 30–300 ms every few samples.
class Burst {
 public:
  explicit Burst(ByteReader& in)
      : count_(16 + 2 * static_cast<int>(in.byte())),
        step_(0.0005 * (1 + in.byte() % 8)),
        jitter_(0.9 * (in.byte() / 255.0)),
        phase_(in.byte() / 40.0),
        every_(in.byte()),
        state_(in.byte() | 1u) {}

  int count() const { return count_; }

  //! Advances time and fills the sample of the next update.
  void next(int i, double& time, std::array<double, 12>& sample) {
    // A small xorshift: the same bytes give the same run.
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    const double u = (state_ & 0xffff) / 65535.0;  // [0, 1]
    const int period = 2 + every_ % 32;
    const int irregular = (i + 1) % period == 0 ? (every_ >> 5) : 0;
    switch (irregular) {
      case 1:  // exact repeat: the previous time, new values
        break;
      case 2:  // near repeat, forward or back
        time += (u - 0.5) * 2.4e-5;
        break;
      case 3:  // gap, long enough to empty the window
        time += 0.03 + 0.27 * u;
        break;
      default:
        time += step_ * (1.0 + jitter_ * (2.0 * u - 1.0));
        break;
    }
    smoothSample(time, phase_, sample);
  }

 private:
  int count_;
  double step_;
  double jitter_;
  double phase_;
  int every_;
  std::uint32_t state_;
};

//! A sample from the bytes: mostly plausible motion so that the libraries get past their
//! start-up, mixed with raw doubles (NaN, infinities, huge values), all-zero IMU parts and
//! irregular time steps (jitter, gaps, exact and near repeats).
inline void readSample(ByteReader& in, double& time, std::array<double, 12>& sample) {
  const std::uint8_t kind = in.byte();
  switch (kind % 16) {
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
    case 8:  // smooth motion, 1 ms step with up to ±0.5 ms jitter
      time += 0.001 + in.smallDouble(0.0005);
      smoothSample(time, 0.0, sample);
      break;
    case 9:  // gap of up to 0.5 s
      time += 0.5 * (in.byte() + 1) / 256.0;
      smoothSample(time, 0.0, sample);
      break;
    case 10:  // exact repeat with new values
      smoothSample(time + 0.0003, 0.0, sample);
      break;
    case 11:  // near repeat: up to 1.5e-5 s either way, across the 1e-5 s tolerance
      time += in.smallDouble(1.5e-5);
      smoothSample(time, 0.0, sample);
      break;
    default:  // plausible motion with a varying step
      time += 0.0005 * (1 + in.byte() % 8);
      for (double& v : sample) v = in.smallDouble(10.0);
      sample[8] += 9.81;
      break;
  }
}

}  // namespace zelto::fuzz
