#include "SignalHistory.h"

#include <gtest/gtest.h>

#include "TestUtils.h"

namespace zelto {
namespace {

ImuRecord imu(double t, double x) {
  return ImuRecord{t, Eigen::Vector3d(x, 0, 9.81), Eigen::Vector3d(0, x, 0),
                   Eigen::Vector3d(0, 0, x)};
}

WrenchRecord wrench(double t, double x) {
  return WrenchRecord{t, Eigen::Vector3d(x, 1, 2), Eigen::Vector3d(3, x, 4)};
}

TEST(SignalHistory, RecordHistoriesPushAndReadByChannel) {
  ImuHistory h;
  EXPECT_TRUE(h.empty());
  h.push(imu(0.0, 0.0));
  h.push(imu(1.0, 2.0));
  EXPECT_FALSE(h.empty());
  EXPECT_EQ(h.front().time, 0.0);
  EXPECT_EQ(h.back().angularAcceleration.z(), 2.0);
  const ImuRecord mid = h.sampleAt(0.25);
  EXPECT_EQ(mid.time, 0.25);
  EXPECT_NEAR(mid.linearAcceleration.x(), 0.5, 1e-15);
  EXPECT_NEAR(mid.angularVelocity.y(), 0.5, 1e-15);
  EXPECT_NEAR(mid.angularAcceleration.z(), 0.5, 1e-15);

  WrenchHistory w;
  w.push(wrench(0.0, 0.0));
  w.push(wrench(1.0, 4.0));
  const WrenchRecord r = w.sampleAt(0.75);
  EXPECT_NEAR(r.force.x(), 3.0, 1e-15);
  EXPECT_NEAR(r.torque.y(), 3.0, 1e-15);
  w.clear();
  EXPECT_TRUE(w.empty());
}

TEST(SignalHistory, ImuJoinTakesTheOlderNewestTime) {
  // linAcc:  0.00 0.01 0.02
  // angVel:  0.00 0.01 0.02
  // angAcc:            0.02 0.03   (newer than linAcc -> t = 0.02, angAcc interpolated)
  StampedHistory linAcc, angVel, angAcc;
  for (int i = 0; i < 3; ++i) {
    linAcc.push({0.01 * i, Eigen::Vector3d::Constant(i)});
    angVel.push({0.01 * i, Eigen::Vector3d::Constant(10 * i)});
  }
  angAcc.push({0.02, Eigen::Vector3d::Constant(100)});
  angAcc.push({0.03, Eigen::Vector3d::Constant(200)});
  ASSERT_TRUE(canSyncImu(linAcc, angVel, angAcc));
  ImuRecord r = syncImu(linAcc, angVel, angAcc);
  EXPECT_EQ(r.time, 0.02);
  EXPECT_EQ(r.linearAcceleration.x(), 2.0);
  EXPECT_EQ(r.angularVelocity.x(), 20.0);
  EXPECT_EQ(r.angularAcceleration.x(), 100.0);

  // angAcc older than linAcc: the time is angAcc's and the other two are interpolated.
  StampedHistory angAccOld;
  angAccOld.push({0.015, Eigen::Vector3d::Constant(7)});
  ASSERT_TRUE(canSyncImu(linAcc, angVel, angAccOld));
  r = syncImu(linAcc, angVel, angAccOld);
  EXPECT_EQ(r.time, 0.015);
  EXPECT_NEAR(r.linearAcceleration.x(), 1.5, 1e-12);
  EXPECT_NEAR(r.angularVelocity.x(), 15.0, 1e-12);
  EXPECT_EQ(r.angularAcceleration.x(), 7.0);

  // angAcc entirely before linAcc: not joinable.
  StampedHistory lateLinAcc;
  lateLinAcc.push({1.0, Eigen::Vector3d::Zero()});
  EXPECT_FALSE(canSyncImu(lateLinAcc, angVel, angAccOld));
}

TEST(SignalHistory, WrenchNewerThanImuIsInterpolatedToImuTime) {
  // IMU newest 0.99; wrench 0.90 ... 1.00: joinable at 0.99, wrench interpolated.
  ImuHistory imuHistory;
  imuHistory.push(imu(0.98, 1.0));
  imuHistory.push(imu(0.99, 2.0));
  WrenchHistory wrenchHistory;
  wrenchHistory.push(wrench(0.90, 0.0));
  wrenchHistory.push(wrench(1.00, 10.0));
  ASSERT_TRUE(canSyncImuWrench(imuHistory, wrenchHistory));
  const InertialSample s = syncImuWrench(imuHistory, wrenchHistory);
  EXPECT_EQ(s.time, 0.99);
  EXPECT_EQ(s.linearAcceleration.x(), 2.0);
  EXPECT_EQ(s.angularVelocity.y(), 2.0);
  EXPECT_EQ(s.angularAcceleration.z(), 2.0);
  EXPECT_NEAR(s.force.x(), 9.0, 1e-12);
  EXPECT_NEAR(s.torque.y(), 9.0, 1e-12);
  EXPECT_EQ(s.force.y(), 1.0);
}

TEST(SignalHistory, ImuNewerOrTiedIsInterpolatedToWrenchTime) {
  ImuHistory imuHistory;
  imuHistory.push(imu(0.0, 0.0));
  imuHistory.push(imu(1.0, 4.0));
  WrenchHistory wrenchHistory;
  wrenchHistory.push(wrench(0.5, 3.0));
  InertialSample s = syncImuWrench(imuHistory, wrenchHistory);
  EXPECT_EQ(s.time, 0.5);
  EXPECT_NEAR(s.linearAcceleration.x(), 2.0, 1e-15);
  EXPECT_EQ(s.force.x(), 3.0);

  // A tie interpolates the IMU side, which returns its newest values.
  wrenchHistory.push(wrench(1.0, 8.0));
  s = syncImuWrench(imuHistory, wrenchHistory);
  EXPECT_EQ(s.time, 1.0);
  EXPECT_EQ(s.linearAcceleration.x(), 4.0);
  EXPECT_EQ(s.force.x(), 8.0);
}

TEST(SignalHistory, NotJoinableWhenStreamsDoNotOverlap) {
  // IMU oldest 1.1, wrench newest 1.0 (older than the IMU newest): not joinable.
  ImuHistory imuHistory;
  imuHistory.push(imu(1.1, 0.0));
  imuHistory.push(imu(1.2, 0.0));
  WrenchHistory wrenchHistory;
  wrenchHistory.push(wrench(1.0, 0.0));
  EXPECT_FALSE(canSyncImuWrench(imuHistory, wrenchHistory));
  // Wrench entirely after the IMU: not joinable either.
  ImuHistory early;
  early.push(imu(0.1, 0.0));
  WrenchHistory late;
  late.push(wrench(0.2, 0.0));
  late.push(wrench(0.3, 0.0));
  EXPECT_FALSE(canSyncImuWrench(early, late));
}

TEST(SignalHistory, PruneActsOnEveryChannel) {
  ImuHistory h;
  WrenchHistory w;
  for (int i = 0; i < 20; ++i) {
    h.push(imu(i, i));
    w.push(wrench(i, i));
  }
  h.prune();
  w.prune();
  h.sampleAt(18.5);
  w.sampleAt(18.5);
  h.prune();
  w.prune();
  EXPECT_EQ(h.linearAcceleration.size(), 7u);
  EXPECT_EQ(h.angularVelocity.size(), 7u);
  EXPECT_EQ(h.angularAcceleration.size(), 7u);
  EXPECT_EQ(w.force.size(), 7u);
  EXPECT_EQ(w.torque.size(), 7u);
  EXPECT_EQ(h.front().time, 13.0);
}

}  // namespace
}  // namespace zelto
