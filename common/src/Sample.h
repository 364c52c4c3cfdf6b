#pragma once

#include <array>

#include "StampedHistory.h"

namespace zelto {

//! The twelve doubles a host passes per sample: force (N), torque (N·m),
//! linear acceleration as the accelerometer measures it, gravity included (m/s²),
//! angular velocity (rad/s), all in the sensor frame.
using SensorArray = std::array<double, 12>;

//! Thrown (as std::runtime_error) by both update() operations when the IMU part is missing.
extern const char* const kImuMissingMessage;
//! ERROR lines of both libraries for samples they refuse before storing anything.
extern const char* const kNonFiniteSampleMessage;
extern const char* const kOutOfRangeSampleMessage;
extern const char* const kBackwardsTimeMessage;

//! Repeated time stamps closer than this are the same sample; times further back are refused.
constexpr double kRepeatedTimeTolerance = 1e-5;

//! The IMU part (indices 6..11) is missing when all six values are exactly 0.0.
//! -0.0 compares equal to 0.0 and a NaN compares unequal, so NaN counts as present.
bool hasImuData(const SensorArray& sample);

//! Throws std::runtime_error with kImuMissingMessage when hasImuData() is false.
void requireImuData(const SensorArray& sample);

//! True when the time stamp and all twelve values are finite numbers.
bool isFiniteSample(double time, const SensorArray& sample);

//! Largest magnitude a sensor value may have (N, N·m, m/s², rad/s): far beyond any sensor, yet
//! small enough that the products, sums and derivatives built from it stay finite. A larger
//! finite value (a glitch, a unit mix-up) would overflow them and stay in the state for good.
constexpr double kMaxSensorMagnitude = 1e9;

//! True when all twelve values lie within ±kMaxSensorMagnitude (NaN is not checked here).
bool isSampleInRange(const SensorArray& sample);

//! The ERROR line both libraries print for a sample they refuse for its values
//! (kNonFiniteSampleMessage or kOutOfRangeSampleMessage), or nullptr for a sample they take.
const char* refusedValuesMessage(double time, const SensorArray& sample);

//! True when time lies kRepeatedTimeTolerance or more before newestTime.
bool goesBackwards(double time, double newestTime);

//! The four stamped vectors of one sample, all carrying its time stamp.
struct SplitSample {
  StampedVector3 force;
  StampedVector3 torque;
  StampedVector3 linearAcceleration;
  StampedVector3 angularVelocity;
};

SplitSample splitSample(double time, const SensorArray& sample);

}  // namespace zelto
