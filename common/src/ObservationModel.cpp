#include "ObservationModel.h"

namespace zelto {

Eigen::Matrix3d skew(const Eigen::Vector3d& v) {
  Eigen::Matrix3d m;
  m << 0.0, -v.z(), v.y(),  //
      v.z(), 0.0, -v.x(),   //
      -v.y(), v.x(), 0.0;
  return m;
}

Eigen::Matrix<double, 3, 6> inertiaProductMatrix(const Eigen::Vector3d& v) {
  Eigen::Matrix<double, 3, 6> l;
  l << v.x(), v.y(), v.z(), 0.0, 0.0, 0.0,  //
      0.0, v.x(), 0.0, v.y(), v.z(), 0.0,   //
      0.0, 0.0, v.x(), 0.0, v.y(), v.z();
  return l;
}

void fillPayloadRegressor(const Eigen::Vector3d& a, const Eigen::Vector3d& omega,
                          const Eigen::Vector3d& alpha, bool dynamic, Regressor& y) {
  y.setZero();
  y.block<3, 1>(0, 0) = a;
  y.block<3, 3>(3, 1) = -skew(a);
  if (dynamic) {
    const Eigen::Matrix3d skewOmega = skew(omega);
    // A·h = α × h + ω × (ω × h): Euler and centripetal terms of the centre of mass.
    y.block<3, 3>(0, 1) = skew(alpha) + skewOmega * skewOmega;
    // B·I = J·α + ω × (J·ω): Euler's rotational equation about the sensor origin.
    y.block<3, 6>(3, 4) = inertiaProductMatrix(alpha) + skewOmega * inertiaProductMatrix(omega);
  }
}

ObservationMatrix ObservationModelTLSWrenchBias::getObservationMatrix(
    const InertialSample& s) const {
  ObservationMatrix h = ObservationMatrix::Zero();
  Regressor y;
  fillPayloadRegressor(s.linearAcceleration, s.angularVelocity, s.angularAcceleration, true, y);
  h.leftCols<10>() = y;
  // The measured wrench is the bias minus the load's wrench, hence −I₃ on both bias blocks.
  h.block<3, 3>(0, 10) = -Eigen::Matrix3d::Identity();
  h.block<3, 3>(3, 13) = -Eigen::Matrix3d::Identity();
  return h;
}

AugmentedObservation ObservationModel::getAugmentedObservation(const InertialSample& s) const {
  AugmentedObservation d;
  d.leftCols<16>() = getObservationMatrix(s);
  d.block<3, 1>(0, 16) = -s.force;
  d.block<3, 1>(3, 16) = -s.torque;
  return d;
}

}  // namespace zelto
