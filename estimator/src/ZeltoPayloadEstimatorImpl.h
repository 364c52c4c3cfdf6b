#pragma once

#include <zelto/ZeltoControlReturnCode.h>

#include <array>
#include <cstdint>
#include <string>

#include "EstimatorConfig.h"
#include "InertiaEstimator.h"
#include "Sample.h"

namespace zelto {

//! Whether an estimation run is in progress. The stored values are 2 and 4.
enum class EstimatorState : std::int32_t {
  Estimating = 2,  //!< samples are fed to the estimator
  Idle = 4,        //!< before the first start; after convergence, time-out, stop or fatal error
};

//! Everything behind the exported estimator: the configuration, the run state machine and
//! the inertial processing. Run limits are measured on the steady clock, not in sample time.
class ZeltoPayloadEstimatorImpl {
 public:
  //! Nanoseconds of a monotonic clock.
  using Clock = std::int64_t (*)();
  //! The host machine's steady clock, in nanoseconds.
  static std::int64_t steadyNanoseconds();

  //! Prints the version line, reads the configuration (throws std::runtime_error on failure)
  //! and builds the inertial processing. The run limits are measured on clock (the steady
  //! clock unless a test replays recorded time).
  explicit ZeltoPayloadEstimatorImpl(const std::string& configPath,
                                     Clock clock = &ZeltoPayloadEstimatorImpl::steadyNanoseconds);
  virtual ~ZeltoPayloadEstimatorImpl();
  ZeltoPayloadEstimatorImpl(const ZeltoPayloadEstimatorImpl&) = delete;
  ZeltoPayloadEstimatorImpl& operator=(const ZeltoPayloadEstimatorImpl&) = delete;

  //! Idle, the last run ended with a result and its payload file written, and the estimate
  //! still supports that result (InertiaEstimator::conclude).
  bool isEstimationSuccessful() const;
  bool isEstimatorRunning() const { return state_ == EstimatorState::Estimating; }

  //! Re-initialises the estimator, then starts a run when idle or stops the run in progress.
  //! A failed re-initialisation throws and leaves the state as it was.
  bool startPayloadEstimation();

  //! The motion is over: ends the run in progress with its result when it has one past the
  //! minimum run time (see the exported class); false, and the run goes on, otherwise.
  bool finishPayloadEstimation();

  ZeltoControlReturnCode update(double time, const SensorArray& sample);

  //! Read-out of the running estimate (see the exported class).
  bool getEstimate(std::array<double, 16>& estimate,
                   std::array<double, 16>& standardDeviation) const;
  std::uint64_t getSampleCount() const { return inertiaEstimator_.sampleCount(); }
  std::uint64_t getRejectedSampleCount() const { return inertiaEstimator_.gateCounts().rejected; }
  std::uint64_t getContactEpisodeCount() const { return inertiaEstimator_.gateCounts().episodes; }
  bool isContactDetected() const { return inertiaEstimator_.contact(); }
  double getNoiseScale() const { return inertiaEstimator_.noiseScale(); }
  double getRunTime() const;

  const EstimatorConfig& config() const { return config_; }
  const InertiaEstimator& inertiaEstimator() const { return inertiaEstimator_; }

 private:
  void initializeEstimator();
  //! Writes the file of the conclusion (Converged or Static) and prints the report; ends the run.
  void finishRun(double elapsedSeconds, const InertiaEstimator::Conclusion& conclusion);
  //! Ends the run in progress; its duration stays readable through getRunTime().
  void endRun(double elapsedSeconds);
  double elapsedSeconds() const;

  EstimatorConfig config_;
  EstimatorState state_ = EstimatorState::Idle;
  InertiaEstimator inertiaEstimator_;
  std::int64_t startTime_ = 0;     //!< steady-clock nanoseconds at the start of the run
  double endedRunTime_ = 0.0;      //!< seconds the last ended run lasted
  bool initialized_ = false;       //!< the last initialisation of the inertial processing worked
  bool lastRunSucceeded_ = false;  //!< the last run ended with a result and wrote its file
  Clock clock_;
};

}  // namespace zelto
