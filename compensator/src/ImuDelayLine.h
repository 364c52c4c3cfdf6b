#pragma once

#include <array>
#include <cstddef>

#include "InertiaCompensator.h"

namespace zelto {

//! Pairs each wrench with the IMU values of its own instant when the IMU's time stamps lag or
//! lead the wrench's by a known delay d (positive: the IMU value stamped t belongs with the
//! wrench stamped t − d, an IMU that reports late).
//!
//! Every sample's inputs go into a ring of the last kCapacity samples, and the pair is read back
//! by linear interpolation between the two samples around each time:
//!  - d > 0: the newest IMU values (stamped T) describe T − d, so they are paired with the
//!    wrench of T − d. The output describes T − d: it lags the sensor by d.
//!  - d < 0: the newest wrench (stamped T) is paired with the IMU values of T + d, already
//!    held. No latency is added.
//! Until the ring reaches |d| back (the first |d| of a stream, or at rates where kCapacity
//! samples span less than |d|), the oldest sample held stands in.
//!
//! Fixed storage: nothing is allocated after construction.
class ImuDelayLine {
 public:
  //! Samples held: kLimit at up to 20 kHz.
  static constexpr std::size_t kCapacity = 512;
  //! Largest |d|, s: a few milliseconds are what IMUs show; more would cost the host's control
  //! loop that much latency, and the estimator pairs no more either.
  static constexpr double kLimit = 0.025;

  //! delay: s, within ±kLimit (the configuration loader checks it).
  explicit ImuDelayLine(double delay = 0.0) : delay_(delay) {}

  //! Stores the inputs of the newest sample; times must increase.
  void push(const CompensatorInputs& newest);

  //! The newest sample's pair: the wrench of T − max(d, 0) with the IMU values of T + min(d, 0),
  //! stamped with the wrench's time. At least one sample must have been pushed.
  CompensatorInputs paired() const;

  double delay() const { return delay_; }
  std::size_t size() const { return count_; }

 private:
  const CompensatorInputs& slot(std::size_t i) const { return slots_[(head_ + i) % kCapacity]; }
  //! The two samples around time t and the weight of the later one; clamped to the ring's span.
  void bracket(double t, std::size_t& earlier, std::size_t& later, double& weight) const;

  double delay_ = 0.0;
  std::array<CompensatorInputs, kCapacity> slots_{};
  std::size_t head_ = 0;  // the oldest sample
  std::size_t count_ = 0;
};

}  // namespace zelto
