#include "EMAFilter.h"

#include <sstream>

#include "Log.h"

namespace zelto {

StampedVector3 EMAFilter::apply(StampedHistory& history) {
  const std::size_t s = history.size();
  const StampedVector3 newest = history.back();
  if (s < 2) {
    printLine("EMAFilter: Not enough data (need at least 2 samples)");
    return StampedVector3{newest.time, Eigen::Vector3d::Zero()};
  }
  const double dt = newest.time - history.at(static_cast<std::uint32_t>(s - 2)).time;
  if (!(dt > 0.0)) {
    std::ostringstream line;
    line << "EMAFilter: Invalid dt=" << dt << ", returning zero";
    printLine(line.str());
    return StampedVector3{newest.time, Eigen::Vector3d::Zero()};
  }
  const double alpha = dt / (dt + timeConstant_);
  Eigen::Vector3d derivative = Eigen::Vector3d::Zero();
  Eigen::Vector3d next = newest.value;
  if (initialized_) {
    next = alpha * newest.value + (1.0 - alpha) * smoothed_;
    derivative = (next - smoothed_) / dt;
  } else {
    initialized_ = true;
  }
  smoothed_ = next;
  return StampedVector3{newest.time, derivative};
}

}  // namespace zelto
