#pragma once

#include <zelto/ZeltoControlReturnCode.h>
#include <zelto/ZeltoPayloadEstimatorExport.h>

#include <array>
#include <cstdint>
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
//! threshold, the estimate a body that can exist, and every direction of the inertia
//! identified by the motion) the library writes the payload parameter file next to the
//! configuration file and prints a report. Progress is reported as console lines on standard
//! output.
//!
//! A motion that leaves directions of the inertia unidentified (a robot turning the tool about
//! one axis, say) cannot converge that way. At the end of the run, at the maximum run time or
//! when the host calls finishPayloadEstimation(), such an estimate still counts as a result
//! for static compensation when mass, centre of mass, bias and the identified inertia entries
//! have converged: the file then holds the prior's inertia along the unidentified directions,
//! made physically consistent, names the entries in "not_identified", and the report names
//! them too; dynamic compensation must stay off with such a file.
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

  //! True when no run is in progress, the last run ended with a result (converged, or for
  //! static compensation) with its payload parameter file written, and the estimate still
  //! supports that result. False before the first run, while a run is in progress, and after
  //! a stop, a time-out without a result or a failed write.
  bool isEstimationSuccessful() const;

  //! True while a run is in progress.
  bool isEstimatorRunning() const;

  //! Starts a run when none is in progress, stops the run in progress otherwise. Every call
  //! restarts the estimate from the configured prior. Returns true.
  bool startPayloadEstimation();

  //! Tells the estimator that the motion is over (the host's trajectory or recording has
  //! ended). When the run in progress has a result past the minimum run time, converged or for
  //! static compensation (see above), writes the payload parameter file, prints the report,
  //! ends the run and returns true, as the maximum run time would. Otherwise returns false
  //! and prints nothing: the run goes on (no run in progress, before the minimum run time, or
  //! nothing usable yet).
  bool finishPayloadEstimation();

  //! One sensor sample: time stamp in seconds and twelve values in the sensor frame,
  //! force (N), torque (N·m), linear acceleration as the accelerometer measures it, gravity
  //! included (m/s²), angular velocity (rad/s).
  //! Returns Ok (also when no run is in progress, and for the sample on which a run ends) or
  //! Error (an ERROR line says why; while a run is in progress a sample with a NaN or infinite
  //! value, a value beyond 1e9 in magnitude, or a time stamp more than 10 µs before the newest
  //! one, is refused).
  //! Throws std::runtime_error when the six IMU values are all exactly zero. Run limits are
  //! measured on the host's steady clock from startPayloadEstimation(), not in sample time.
  //! When the estimate breaks down (a NaN in it) the algorithm's std::runtime_error
  //! "[FATAL ERROR] parameterVector already has NaN at start of updateParameterVector!" is
  //! printed as an ERROR line and passed on to the caller of that one update; the run has
  //! ended by then (not running, not successful, no file written), and later calls return Ok
  //! as in any idle state until the next startPayloadEstimation().
  ZeltoControlReturnCode update(double time, std::array<double, 12> sample);

  // Read-out of the estimate while a run goes on (progress displays, logging, a host's own
  // stop rule). Call from the thread that calls update(), never concurrently with it. Nothing
  // is allocated; getEstimate() evaluates the covariance when asked (a few microseconds), so
  // calling it every 100 ms does not disturb a 1 kHz loop.

  //! The current estimate and its standard deviations, each in the order of the payload
  //! parameter file: mass (kg); centre of mass x, y, z (m); inertia Ixx, Ixy, Ixz, Iyy, Iyz,
  //! Izz about the sensor origin, sensor frame (kg·m²); force bias x, y, z (N); torque bias
  //! x, y, z (N·m). Returns true when every value is defined. Returns false, and fills both
  //! arrays with NaN, while the current run has used no sample (before the first run and
  //! right after a start or stop); returns false with the estimate filled and every standard
  //! deviation NaN while the covariance is not defined yet (too few or too little varied
  //! samples) or the estimate has broken down (the fatal NaN error). After a run has ended its last
  //! estimate stays readable until the next start.
  bool getEstimate(std::array<double, 16>& estimate,
                   std::array<double, 16>& standardDeviation) const;

  //! Samples the current run (or the last one, once it has ended) has fed to the estimate.
  std::uint64_t getSampleCount() const;

  //! Seconds on the steady clock since the current run started; once a run has ended, how
  //! long it lasted; 0 before the first run.
  double getRunTime() const;

  // Samples that disagree with the estimate stay out of it: from 1 s into a run, a sample
  // whose residuals exceed the 99.9 % bound of their expected spread (a tap, say) is left out,
  // and when at least a fifth of the last 0.1 s does (contact with the environment), nothing
  // is used until the contact ends; a contact of 3.5 s discards the estimate and starts again
  // (the run time keeps counting). Console lines announce contacts and restarts.

  //! Samples of the current (or last) run the gate and the contact flag left out.
  std::uint64_t getRejectedSampleCount() const;
  //! Contacts detected in the current (or last) run.
  std::uint64_t getContactEpisodeCount() const;
  //! True while a contact is going on.
  bool isContactDetected() const;
  //! The common scale of the residuals against the configured noise: about 1 when the
  //! configured variances fit the sensor; NaN before the first sample.
  double getNoiseScale() const;

 private:
  std::unique_ptr<ZeltoPayloadEstimatorImpl> impl_;
};

}  // namespace zelto
