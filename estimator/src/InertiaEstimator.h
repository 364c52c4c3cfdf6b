#pragma once

#include <Eigen/Core>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "EstimationTool.h"
#include "EstimatorConfig.h"
#include "RingQueue.h"
#include "Sample.h"
#include "SampleGate.h"
#include "SampleJoiner.h"
#include "SignalHistory.h"
#include "TlsTypes.h"

namespace zelto {

//! The estimator's sample path and the questions about its estimate. Per input the owner runs
//! one pass of values:
//!   join(input) → the samples the input completes (SampleJoiner);
//!   process(joined) → for the judged sample:
//!     prepare(sample) → its rows and Jacobians;
//!     judge(prepared) → the gate's verdict on their consistency with the estimate;
//!     apply(verdict, prepared) → the same rows fed, or the estimate restarted;
//!   and, where a noisy gyro widened the fit, the fed sample's rows go in instead of the judged
//!   sample's of the same instant, once that instant's verdict let them (see process).
//! Also answers the questions about the estimate: solution, variances, convergence.
//!
//! State: the estimation tool and the configuration live as long as the object; a start
//! (init) replaces the run (joiner, verdicts waiting for their fed sample, gate counts,
//! algorithm); a contact that lasts too long replaces the attempt (gate, fed samples) and
//! restarts the algorithm. In steady state nothing is allocated.
class InertiaEstimator {
 public:
  using Vector16 = Eigen::Matrix<double, 16, 1>;

  //! The estimate with its variances, from one evaluation of the covariance.
  struct Estimate {
    Vector16 solution;  //!< as getParamsSolution()
    Vector16 variance;  //!< as getParamsVariance()
    bool covarianceDefined = false;
  };

  //! Creates the tool (without an algorithm yet) and takes the convergence thresholds.
  explicit InertiaEstimator(const EstimatorConfig& config);
  virtual ~InertiaEstimator();
  InertiaEstimator(const InertiaEstimator&) = delete;
  InertiaEstimator& operator=(const InertiaEstimator&) = delete;

  //! Stores the configuration, builds a new estimation tool from it, takes the thresholds
  //! and calls init().
  void setConfig(const EstimatorConfig& config);

  //! A fresh run: new histories, counts and algorithm; nothing of a previous run is used.
  void init();

  //! Stores one input; the samples it completes (see SampleJoiner). Says once per run when the
  //! inputs come too far apart to be joined at all. At the first sample of a run, the
  //! configured angular-acceleration variance is raised to what the reference derivative makes
  //! of the configured angular-velocity variance at the measured input rate, if it lies below,
  //! and a line says so: a variance the derivative's own noise exceeds would bias the inertia.
  //! Where the gyro's noise widened the fit, the fed samples' variance is that one scaled by
  //! the ratio of the two fits' noise factors, and a line says so.
  JoinedSamples join(const SplitSample& input);
  //! The judged sample is judged and its verdict applied at once (restart and lines included):
  //! contact is flagged as soon as the narrow window allows. Without a wider fit the judged
  //! sample is the one fed. With one, the verdict waits for the fed sample of the same instant,
  //! which is fed when the verdict was Decision::Feed; a fed sample whose instant was never
  //! judged is left out.
  void process(const JoinedSamples& joined);
  //! The rows and Jacobians of a joined sample.
  PreparedSample prepare(const InertialSample& sample) const { return tool_->prepare(sample); }
  //! The gate's verdict on the sample's consistency with the estimate (see SampleGate:
  //! outliers and contact stay out, a long contact restarts the estimate); counted.
  SampleGate::Verdict judge(const PreparedSample& sample);
  //! Feeds the sample on Decision::Feed, restarts the estimate on Decision::Restart, and
  //! prints a line when a contact starts or ends, when the estimate restarts, and once when
  //! the residuals show that the configured noise is far off. The algorithm's fatal NaN error
  //! passes through.
  void apply(const SampleGate::Verdict& verdict, const PreparedSample& sample);

  //! Mass; centre of mass x, y, z; Ixx, Ixy, Ixz, Iyy, Iyz, Izz; force bias x, y, z; torque
  //! bias x, y, z.
  Vector16 getParamsSolution() const;
  //! Variances of the same 16 quantities (diagonals of the tool's covariances).
  Vector16 getParamsVariance() const;
  Estimate estimate() const;

  //! Every standard deviation strictly below its threshold (mass; each centre-of-mass
  //! coordinate; each inertia entry; each of the six bias components), a NaN standard
  //! deviation counting as zero, the estimate a body that can exist (positive mass, inertia
  //! about the centre of mass with principal moments ≥ −threshold that satisfy the triangle
  //! inequalities within the inertia threshold), no contact now or within 0.1 s, and no
  //! direction of the inertia left unidentified by the motion (see InertiaIdentification; not
  //! judged before the first sample): a small standard deviation along a direction only the
  //! noise of still channels informs means nothing. The identification is only evaluated when
  //! everything else passes.
  bool isConverged() const;

  //! What a run can end with.
  enum class Outcome {
    None,       //!< nothing usable
    Converged,  //!< isConverged()
    //! Mass, centre of mass and bias converged, the inertia only along the directions the
    //! motion identified: a result for static compensation. Only the end of a run can tell that
    //! the motion will not identify the rest, so only the end of a run accepts it.
    Static
  };
  struct Conclusion {
    Outcome outcome = Outcome::None;
    //! As getParamsSolution(); for Static, the inertia along the unidentified directions is
    //! the prior's, moved to the nearest body that can exist (nearestConsistentInertia).
    Vector16 solution = Vector16::Zero();
    InertiaEntryFlags inertiaIdentified{};
  };
  //! Standard deviations an identified inertia entry may move by to make a static result a
  //! body that can exist.
  static constexpr double kIdentifiedSlack = 3.0;
  //! The judgement at the end of a run: Converged when isConverged(); otherwise Static when the
  //! standard deviations of mass, centre of mass and bias are below their thresholds, with no
  //! contact, at least one inertia direction unidentified (inertia entries whose standard
  //! deviation is above the threshold count as unidentified too), and a body that can exist
  //! differing from the estimate only along the unidentified directions, or, where there is
  //! none, the nearest body that can exist moving no identified entry by more than
  //! kIdentifiedSlack standard deviations; otherwise None.
  Conclusion conclude() const;

  //! Whether an input was stored since the last init(), and the latest time stored.
  bool hasStoredSample() const { return run_.joiner.hasInput(); }
  double newestSampleTime() const { return run_.joiner.newestTime(); }

  //! Joined samples fed since the last init() or restart.
  std::uint64_t sampleCount() const { return run_.attempt.fed; }
  //! Whether getParamsVariance() describes the estimate (see EstimationAlgorithm).
  bool isCovarianceDefined() const { return tool_->isCovarianceDefined(); }

  //! The gate's counts since the last init().
  const GateCounts& gateCounts() const { return run_.counts; }
  //! A contact is going on.
  bool contact() const { return run_.attempt.gate.contact(); }
  //! λ, the common scale of the residuals against the configured noise (about 1 when right).
  double noiseScale() const { return tool_->getRayleighQuotient(); }

  //! Items held by the angular-velocity history (bounded by the window; for tests).
  std::size_t historySize() const { return run_.joiner.historySize(); }

  const EstimationTool& tool() const { return *tool_; }

 private:
  //! One attempt at the estimate: replaced when a long contact restarts it.
  struct Attempt {
    SampleGate gate;
    std::uint64_t fed = 0;
  };
  //! The verdict on a judged sample, kept until the fed sample of its instant comes (the wide
  //! fit's window closes W_fit − W_ref later: at most 75 ms, 750 inputs at 10 kHz).
  struct Admission {
    double time = 0.0;
    bool feed = false;
    double weight = 1.0;
  };
  //! One run, from a start: replaced by init().
  struct Run {
    Run() = default;
    Run(double imuDelay, double gyroVariance) : joiner(imuDelay, gyroVariance) {}
    SampleJoiner joiner;
    //! Verdicts waiting for their fed sample, oldest first.
    RingQueue<Admission, SampleJoiner::kMaxPending> admissions;
    GateCounts counts;
    Attempt attempt;
    bool sparseReported = false;
    bool angularAccChecked = false;
  };

  //! The weight the fed sample of time is fed with, if the verdict on its instant let it
  //! through; none without a verdict. Verdicts of earlier instants are given up.
  std::optional<double> admission(double time);
  void reportGateEvent(SampleGate::Event event, double contactDuration) const;
  void reportSparseInputs() const;
  void checkAngularAccelerationVariance();

  std::unique_ptr<EstimationTool> tool_;           // never null
  std::array<double, 4> convergenceThresholds_{};  // mass, com, inertia, wrench bias
  EstimatorConfig config_;
  Run run_;
};

}  // namespace zelto
