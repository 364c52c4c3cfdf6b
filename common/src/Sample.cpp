#include "Sample.h"

#include <cmath>
#include <stdexcept>

namespace zelto {

const char* const kImuMissingMessage =
    "IMU data is not available \xE2\x80\x94 make sure the IMU is enabled (Rev K: appmode should "
    "be 2)";
const char* const kNonFiniteSampleMessage = "Sample contains a non-finite value; sample ignored.";
const char* const kOutOfRangeSampleMessage =
    "Sample contains a value beyond 1e9 in magnitude; sample ignored.";
const char* const kBackwardsTimeMessage = "Sample time stamp goes backwards; sample ignored.";

bool hasImuData(const SensorArray& sample) {
  for (std::size_t i = 6; i < 12; ++i) {
    if (!(sample[i] == 0.0)) {
      return true;
    }
  }
  return false;
}

void requireImuData(const SensorArray& sample) {
  if (!hasImuData(sample)) {
    throw std::runtime_error(kImuMissingMessage);
  }
}

bool isFiniteSample(double time, const SensorArray& sample) {
  if (!std::isfinite(time)) {
    return false;
  }
  for (double value : sample) {
    if (!std::isfinite(value)) {
      return false;
    }
  }
  return true;
}

bool isSampleInRange(const SensorArray& sample) {
  for (double value : sample) {
    if (std::abs(value) > kMaxSensorMagnitude) {
      return false;
    }
  }
  return true;
}

const char* refusedValuesMessage(double time, const SensorArray& sample) {
  if (!isFiniteSample(time, sample)) {
    return kNonFiniteSampleMessage;
  }
  return isSampleInRange(sample) ? nullptr : kOutOfRangeSampleMessage;
}

bool goesBackwards(double time, double newestTime) {
  // The complement of the repeat test |time − newest| < tolerance for earlier times, so that
  // every earlier time stamp is either a repeat or refused, never stored out of order.
  return newestTime - time >= kRepeatedTimeTolerance;
}

SplitSample splitSample(double time, const SensorArray& s) {
  return SplitSample{
      StampedVector3{time, Eigen::Vector3d(s[0], s[1], s[2])},
      StampedVector3{time, Eigen::Vector3d(s[3], s[4], s[5])},
      StampedVector3{time, Eigen::Vector3d(s[6], s[7], s[8])},
      StampedVector3{time, Eigen::Vector3d(s[9], s[10], s[11])},
  };
}

}  // namespace zelto
