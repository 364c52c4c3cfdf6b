#pragma once

#include <zelto/ZeltoControlReturnCode.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "ImuDelayLine.h"
#include "InertiaCompensator.h"
#include "PayloadParameters.h"
#include "Sample.h"
#include "WrenchWindow.h"

namespace zelto {

//! Which payload wrench is removed. The numbers are fixed: dynamic is 1, static is 2.
enum class CompensationMode : std::int32_t {
  None = 0,     //!< before the first sample that was processed successfully
  Dynamic = 1,  //!< gravity and inertia
  Static = 2,   //!< gravity only
};

//! Everything behind the exported compensator: the payload record, the inertia
//! compensator, the pairing of IMU and wrench across a configured delay, the modes, the tare bias
//! and the window of recent compensated wrenches.
//!
//! Threads: update() runs on the host's sample thread; tareCompensatedWrench() may run on
//! another. windowMutex guards the window and the tare decision, biasMutex the bias (taken
//! after windowMutex where both are held), and the two atomic flags let update() test the
//! tare state without a lock. The inertia compensator and the modes belong to update().
//! No console line is printed while either mutex is held.
class ZeltoPayloadCompensatorImpl {
 public:
  //! Prints the version line, loads the payload parameter file (throws std::runtime_error
  //! on any problem with it), builds the inertia compensator and chooses the mode.
  explicit ZeltoPayloadCompensatorImpl(const std::string& configPath);
  virtual ~ZeltoPayloadCompensatorImpl();
  ZeltoPayloadCompensatorImpl(const ZeltoPayloadCompensatorImpl&) = delete;
  ZeltoPayloadCompensatorImpl& operator=(const ZeltoPayloadCompensatorImpl&) = delete;

  //! Immediate tare when the window spans at least 500 ms, otherwise deferred until it does.
  //! Always returns true.
  bool tareCompensatedWrench();

  //! Compensates one sample: Ok with output[0..5] = compensated wrench − tare bias,
  //! Pending with twelve zeros while a deferred tare waits, Error (output untouched) for a
  //! refused sample. Throws std::runtime_error when the IMU part is missing.
  ZeltoControlReturnCode update(double time, const SensorArray& input, SensorArray& output);

  // Read-only views for diagnostics and tests.
  const PayloadParameters& parameters() const { return parameters_; }
  CompensationMode activeMode() const { return activeMode_; }
  CompensationMode configuredMode() const { return configuredMode_; }
  const InertiaCompensator& inertiaCompensator() const { return inertiaCompensator_; }
  Wrench6 tareBias() const;
  bool isTarePending() const { return tarePending_.load(); }
  bool isOutputSuppressed() const { return outputSuppressed_.load(); }
  //! Copy of the window, taken under its mutex.
  WrenchWindow windowSnapshot() const;

 private:
  void completeDeferredTare();
  void setTareBias(const Wrench6& bias);

  PayloadParameters parameters_;
  CompensationMode activeMode_ = CompensationMode::None;
  CompensationMode configuredMode_ = CompensationMode::None;
  InertiaCompensator inertiaCompensator_;
  ImuDelayLine imuDelayLine_;  // used only with a non-zero "imu_delay"
  mutable std::mutex biasMutex_;
  Wrench6 tareBias_ = Wrench6::Zero();
  WrenchWindow wrenchWindow_;
  mutable std::mutex windowMutex_;
  std::atomic<bool> tarePending_{false};
  std::atomic<bool> outputSuppressed_{false};
};

}  // namespace zelto
