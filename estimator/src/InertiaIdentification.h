#pragma once

#include <array>

#include "TlsTypes.h"

namespace zelto {

//! Ixx, Ixy, Ixz, Iyy, Iyz, Izz about the sensor origin, kg·m².
using InertiaVector = Eigen::Matrix<double, 6, 1>;
using InertiaMatrix = Eigen::Matrix<double, 6, 6>;
//! Per inertia entry (Ixx, Ixy, Ixz, Iyy, Iyz, Izz): whether the motion identified it.
using InertiaEntryFlags = std::array<bool, 6>;
inline constexpr InertiaEntryFlags kAllInertiaIdentified{true, true, true, true, true, true};

//! Which directions of the six inertia entries the motion has identified.
//!
//! A regressor channel whose spread stays below ten times its noise variance counts as still,
//! and the estimate leaves its noise out of the rows' error covariances (RecursiveTLSWrenchBias):
//! that keeps the inertia those channels would excite from "explaining" torque residuals. But
//! the noise still enters Σ r·rᵀ, and there it looks like information: along a direction of the
//! inertia that only still channels reach, the standard deviation shrinks with the run's length
//! although the motion tells nothing about it.
//!
//! So along a direction u, uᵀ·A·u is what the estimate takes for information from the motion
//! (A = S − λ·C: the regularised information I/100 + Σ r·rᵀ less the expected share of the
//! counted noise, λ·C, as in the covariance; with mass, first moment and bias left unknown too,
//! the Schur complement over them), and uᵀ·R·u what the prior and the noise of the still
//! channels put there, R = I/100 + λ·N (N: the inertia block of the error covariances the rows
//! would have had with that noise counted). Their ratio is a generalised eigenvalue ν of the
//! pencil (A, R). A direction counts as identified when ν ≥ kFactor: the channel rule (spread
//! at least ten times the noise variance) applied to directions of the parameters. A direction
//! only still channels reach has ν ≈ 1 however long the run; one the motion reaches grows with
//! its excitation, and with no still channel at all (hand motion) R is the prior alone.
//!
//! An entry counts as identified when the unidentified directions carry less than 1/kFactor of
//! the variance R gives it (for a direction along the entry itself: ν ≥ kFactor again).
struct InertiaIdentification {
  static constexpr double kFactor = 10.0;

  bool defined = false;  //!< S and R could be evaluated (finite, positive definite)
  //! The generalised eigenvalues ν, ascending, and their directions (columns, scaled so that
  //! vᵀ·R·v = 1, hence R-orthogonal).
  InertiaVector ratio = InertiaVector::Zero();
  InertiaMatrix directions = InertiaMatrix::Zero();
  InertiaMatrix reference = InertiaMatrix::Identity();  //!< R
  int unidentified = 0;  //!< the first `unidentified` directions have ν < kFactor
  InertiaEntryFlags entryIdentified{};

  //! Defined, with at least one direction unidentified. What cannot be judged (no sample yet)
  //! does not count as unidentified: the standard deviations speak for themselves then.
  bool leavesUnidentified() const { return defined && unidentified > 0; }

  //! The inertia with its coordinates along the unidentified directions taken from `prior` and
  //! those along the identified ones kept (the R-orthogonal projection of prior − estimate onto
  //! the unidentified directions added to the estimate): what is known stays, what is not is
  //! the prior's. The estimate itself unless leavesUnidentified().
  InertiaVector withPriorAlongUnidentified(const InertiaVector& estimate,
                                           const InertiaVector& prior) const;
};

//! information: A, the information of θ the estimate takes for motion (16 × 16, I/100
//! included); noise: λ·N for the inertia block (4..9), without the I/100. Never throws; not
//! defined for non-finite input or when A over mass, first moment and bias is not positive
//! definite.
InertiaIdentification identifyInertia(const ParameterMatrix& information,
                                      const InertiaMatrix& noise);

}  // namespace zelto
