#pragma once

#include <zelto/ZeltoControlReturnCode.h>
#include <zelto/ZeltoPayloadCompensatorExport.h>

#include <array>
#include <memory>
#include <string>

namespace zelto {

class ZeltoPayloadCompensatorImpl;

//! Removes the payload's gravity (static mode) or gravity and inertia (dynamic mode) from
//! every measured wrench, so that the host sees external contact forces only.
//!
//! Usage: construct with the path of the payload parameter file the estimator wrote, then
//! call update() for every sensor sample. tareCompensatedWrench() zeroes the output in the
//! present pose.
//!
//! IMU delay: with the optional "imu_delay" d (s, within ±0.025) in the file's
//! "payload_compensator_config", each wrench is paired with the IMU values of its own instant
//! (positive d: the IMU value stamped t belongs with the wrench stamped t − d). For d > 0 the
//! output of the update at t is then the compensated wrench of t − d: d of latency. For d < 0
//! no latency is added. Without the key every sample is compensated as it comes.
//!
//! Threads: update() from one thread; tareCompensatedWrench() may run on another. The tare
//! prints its console lines without holding the lock update() takes, so a slow standard
//! output delays the tare's caller only. Each console line is written whole.
class ZELTO_COMPENSATOR_EXPORT ZeltoPayloadCompensator {
 public:
  //! Loads the payload parameter file. Throws std::runtime_error when it cannot be opened
  //! or parsed; no object exists then.
  explicit ZeltoPayloadCompensator(const std::string& configPath);
  ~ZeltoPayloadCompensator();
  ZeltoPayloadCompensator(const ZeltoPayloadCompensator&) = delete;
  ZeltoPayloadCompensator& operator=(const ZeltoPayloadCompensator&) = delete;

  //! Sets the tare bias to the mean compensated wrench of about the last second, or defers
  //! the tare until half a second of data has been collected (update() then returns Pending
  //! with zeros). Returns true.
  bool tareCompensatedWrench();

  //! One sensor sample at time (s): force x, y, z (N), torque x, y, z (N·m), linear
  //! acceleration as the accelerometer measures it, gravity included (m/s²), angular
  //! velocity (rad/s), all in the sensor frame. input is never modified. Returns
  //!  - Ok: output[0..5] = compensated force (N) and torque (N·m) minus the tare bias;
  //!    output[6..11] are left as they were;
  //!  - Pending: a deferred tare waits; all twelve outputs are set to 0.0;
  //!  - Error: the sample was refused (a repeated or backwards time stamp, a NaN or
  //!    infinite value, a value beyond 1e9 in magnitude); an ERROR line says why, output is
  //!    untouched, nothing is stored.
  //! Throws std::runtime_error when the six IMU values are all exactly zero.
  ZeltoControlReturnCode update(double time, const std::array<double, 12>& input,
                                std::array<double, 12>& output);

  // Read-out; safe to call from any thread, at any time.

  //! The payload compensated for, as read from the file: mass (kg); centre of mass x, y, z
  //! (m); inertia Ixx, Ixy, Ixz, Iyy, Iyz, Izz about the sensor origin, sensor frame (kg·m²).
  std::array<double, 10> getPayloadParameters() const;

  //! True when gravity and inertia are compensated, false for gravity only.
  bool isDynamicCompensation() const;

  //! The tare bias subtracted from every output: force x, y, z (N), torque x, y, z (N·m);
  //! zeros before the first tare completes.
  std::array<double, 6> getTareBias() const;

 private:
  std::unique_ptr<ZeltoPayloadCompensatorImpl> impl_;
};

}  // namespace zelto
