#pragma once

#include <Eigen/Core>

#include "StampedHistory.h"

namespace zelto {

//! Exponential moving average of the newest sample; its output is the time derivative of
//! the smoothed signal (angular acceleration from angular velocity). It has no reset:
//! re-initialising its owner only sets the time constant again.
class EMAFilter {
 public:
  void setTimeConstant(double seconds) { timeConstant_ = seconds; }
  static constexpr std::size_t getMinSamples() { return 2; }

  //! Derivative of the smoothed signal, stamped with the newest sample's time. Prints a
  //! notice and returns zero for fewer than two samples or a non-positive time step.
  StampedVector3 apply(StampedHistory& history);

 private:
  double timeConstant_ = 0.1;  //!< s
  Eigen::Vector3d smoothed_ = Eigen::Vector3d::Zero();
  bool initialized_ = false;
};

}  // namespace zelto
