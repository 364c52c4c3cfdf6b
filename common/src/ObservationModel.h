#pragma once

#include <Eigen/Core>

#include "SignalHistory.h"

namespace zelto {

using ObservationMatrix = Eigen::Matrix<double, 6, 16>;  //!< H: wrench from θ
using AugmentedObservation = Eigen::Matrix<double, 6, 17>;  //!< D = [H, −(f; τ)]
using Regressor = Eigen::Matrix<double, 6, 10>;  //!< columns 0..9 of H (payload only)

//! Cross-product matrix: skew(v)·u = v × u.
Eigen::Matrix3d skew(const Eigen::Vector3d& v);

//! L(v) with L(v)·(Ixx, Ixy, Ixz, Iyy, Iyz, Izz) = I·v for the symmetric tensor I.
Eigen::Matrix<double, 3, 6> inertiaProductMatrix(const Eigen::Vector3d& v);

//! Newton–Euler regressor of the payload about the sensor origin, linear in
//! θ = (m, m·c, Ixx, Ixy, Ixz, Iyy, Iyz, Izz, force bias, torque bias):
//!   f = b − m·a − (α × h + ω × (ω × h))
//!   τ = t + a × h − (J·α + ω × (J·ω)),   h = m·c,
//! with a the accelerometer's specific force. For exact data D·(θ, −1) = H·θ + (f; τ) = 0.
class ObservationModel {
 public:
  virtual ObservationMatrix getObservationMatrix(const InertialSample& sample) const = 0;
  AugmentedObservation getAugmentedObservation(const InertialSample& sample) const;

 protected:
  ObservationModel() = default;
  ObservationModel(const ObservationModel&) = default;
  ObservationModel& operator=(const ObservationModel&) = default;
  // Owners hold the concrete type; a protected destructor rules out deleting through the base.
  ~ObservationModel() = default;
};

class ObservationModelTLSWrenchBias final : public ObservationModel {
 public:
  ObservationMatrix getObservationMatrix(const InertialSample& sample) const override;
};

//! The payload part of H (columns 0..9) written into y. With dynamic false the terms in
//! ω and α are left out (gravity only); y is overwritten completely.
void fillPayloadRegressor(const Eigen::Vector3d& a, const Eigen::Vector3d& omega,
                          const Eigen::Vector3d& alpha, bool dynamic, Regressor& y);

}  // namespace zelto
