#pragma once

#include <zelto/ZeltoControlReturnCode.h>
#include <zelto/ZeltoPayloadEstimatorExport.h>

#include <array>
#include <memory>
#include <string>

namespace zelto {

class ZeltoPayloadEstimatorImpl;

//! Identifies the payload mounted on a force-torque sensor with an IMU (mass, centre of
//! mass, inertia about the sensor origin) and the sensor's force/torque bias while the user
//! moves the tool by hand.
//!
//! Usage: construct with the path of the JSON configuration, call startPayloadEstimation()
//! when the user is ready, then update() for every sensor sample. When the estimate has
//! converged (after the configured minimum run time, every standard deviation below its
//! threshold) the library writes the payload parameter file next to the configuration file
//! and prints a report. Progress is reported as console lines on standard output.
//!
//! Threads: not thread-safe; call all operations of one object from one thread.
class ZELTO_ESTIMATOR_EXPORT ZeltoPayloadEstimator {
 public:
  //! Reads the configuration file. Throws std::runtime_error when it cannot be opened or
  //! parsed; no object exists then.
  explicit ZeltoPayloadEstimator(const std::string& configPath);
  ~ZeltoPayloadEstimator();
  ZeltoPayloadEstimator(const ZeltoPayloadEstimator&) = delete;
  ZeltoPayloadEstimator& operator=(const ZeltoPayloadEstimator&) = delete;

  //! True when no run is in progress, the last run ended by convergence with its payload
  //! parameter file written, and the estimate still passes the convergence test. False
  //! before the first run, while a run is in progress, and after a stop, a time-out or a
  //! failed write.
  bool isEstimationSuccessful() const;

  //! True while a run is in progress.
  bool isEstimatorRunning() const;

  //! Starts a run when none is in progress, stops the run in progress otherwise. Every call
  //! restarts the estimate from the configured prior. Returns true.
  bool startPayloadEstimation();

  //! One sensor sample: time stamp in seconds and twelve values in the sensor frame,
  //! force (N), torque (N·m), linear acceleration as the accelerometer measures it, gravity
  //! included (m/s²), angular velocity (rad/s).
  //! Returns Ok (also when no run is in progress, and for the sample on which a run ends) or
  //! Error (an ERROR line says why; while a run is in progress a sample with a NaN or infinite
  //! value, or with a time stamp more than 10 µs before the newest one, is refused).
  //! Throws std::runtime_error when the six IMU values are all exactly zero. Run limits are
  //! measured on the host's steady clock from startPayloadEstimation(), not in sample time.
  //! When the estimate breaks down (a NaN in it) the algorithm's std::runtime_error
  //! "[FATAL ERROR] parameterVector already has NaN at start of updateParameterVector!" is
  //! printed as an ERROR line and passed on to the caller of that one update; the run has
  //! ended by then (not running, not successful, no file written), and later calls return Ok
  //! as in any idle state until the next startPayloadEstimation().
  ZeltoControlReturnCode update(double time, std::array<double, 12> sample);

 private:
  std::unique_ptr<ZeltoPayloadEstimatorImpl> impl_;
};

}  // namespace zelto
