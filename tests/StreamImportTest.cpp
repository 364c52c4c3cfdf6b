// importTables on streams sampled from the simulator's truth at their own rates, with white
// noise, a known IMU delay, their own axes and units: the delay found, the recording against
// the truth at the wrench's time stamps, the noise block against the true variances, the robot
// without an IMU, and the exact message of every refusal.

#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "NoiseEstimate.h"
#include "PayloadSimulator.h"
#include "StreamImport.h"
#include "ToolError.h"

namespace zelto::tool {
namespace {

using sim::TrueState;
using Values = std::function<std::vector<double>(const TrueState&)>;

// Noise standard deviations: force N, torque N·m, accelerometer m/s², gyro rad/s, orientation
// angle rad, position m.
constexpr double kForce = 0.05, kTorque = 2e-3, kAcc = 0.03, kGyro = 2e-3, kAngle = 1e-4,
                 kPosition = 1e-5;
constexpr double kSeconds = 20.0;

StreamTable table(const std::string& name, const std::string& text) {
  std::istringstream in(text);
  return readStreamTable(in, name);
}

// Streams of one hand motion of a 0.93 kg tool, each sampled from the truth at its own rate.
class Streams {
 public:
  explicit Streams(std::uint64_t seed) : sim_(options(seed)), noise_(seed, 9) {}

  // Rows at `rate` over the truth's times start + k/rate, stamped (time + delay)/unit.
  StreamTable stream(const std::string& header, double rate, double delay, double unit,
                     const Values& values) {
    std::string text = header + "\n";
    for (double t = 0.01; t <= kSeconds; t += 1.0 / rate) {
      char time[32];
      std::snprintf(time, sizeof time, "%.17g", (t + delay) / unit);
      text += time;
      for (double v : values(sim_.stateAt(t))) text += "," + std::to_string(v);
      text += "\n";
    }
    return table(header.substr(0, header.find(',')) + "-stream", text);
  }
  StreamTable wrench() {
    return stream("t,fx,fy,fz,tx,ty,tz", 698.0, 0.0, 1e-6, [&](const TrueState& s) {
      return std::vector<double>{s.force.x() + n(kForce),   s.force.y() + n(kForce),
                                 s.force.z() + n(kForce),   s.torque.x() + n(kTorque),
                                 s.torque.y() + n(kTorque), s.torque.z() + n(kTorque)};
    });
  }
  // In the stream's own axes: sensor = M·stream.
  std::vector<double> acc(const TrueState& s, const Eigen::Matrix3d& m, double unit) {
    const Eigen::Vector3d a = m.transpose() * s.linearAcceleration / unit;
    return {a.x() + n(kAcc / unit), a.y() + n(kAcc / unit), a.z() + n(kAcc / unit)};
  }
  std::vector<double> gyro(const TrueState& s) {
    const Eigen::Vector3d& w = s.angularVelocity;
    return {w.x() + n(kGyro), w.y() + n(kGyro), w.z() + n(kGyro)};
  }
  // Off by a small rotation about the sensor axes, as in the import's noise model.
  Eigen::Quaterniond attitude(const TrueState& s) {
    const Eigen::Vector3d e(n(kAngle), n(kAngle), n(kAngle));
    return Eigen::Quaterniond(s.orientation * Eigen::AngleAxisd(e.norm(), e.normalized()));
  }
  double n(double sigma) { return sigma * noise_.gaussian(); }
  const sim::PayloadSimulator& sim() const { return sim_; }

 private:
  static sim::Options options(std::uint64_t seed) {
    sim::Options o;
    o.payload = sim::Payload::fromCentroidal(0.93, {0.01, -0.02, 0.06},
                                             {2e-3, 1e-4, 0.0, 2.5e-3, 0.0, 1.5e-3},
                                             {1.5, -0.8, 2.0}, {0.05, 0.02, -0.03});
    o.seed = seed;
    return o;
  }
  sim::PayloadSimulator sim_;
  sim::Random noise_;
};

// Rms over the imported rows of the difference to the truth in columns [first, first + 3).
double rmsError(const ImportResult& r, const sim::PayloadSimulator& sim, std::size_t first,
                const std::function<Eigen::Vector3d(const TrueState&)>& truth) {
  double sum = 0.0;
  for (const RecordedSample& s : r.samples) {
    const Eigen::Vector3d v(s.values[first], s.values[first + 1], s.values[first + 2]);
    sum += (v - truth(sim.stateAt(s.time))).squaredNorm();
  }
  return std::sqrt(sum / (3.0 * static_cast<double>(r.samples.size())));
}

TEST(StreamImport, FindsTheImuDelayAndMatchesTheTruth) {
  // sensor x = −accelerometer y, sensor y = accelerometer z, sensor z = −accelerometer x.
  const AxisMapping axes = AxisMapping::parse("-y,z,-x");
  Eigen::Matrix3d m;
  m << 0, -1, 0, 0, 0, 1, -1, 0, 0;
  const Eigen::Matrix3d identity = Eigen::Matrix3d::Identity();
  for (const double delay : {-0.010, 0.0, 0.0065, 0.015}) {
    const std::uint64_t seed = 11 + static_cast<std::uint64_t>(1e3 * (delay + 0.010));
    SCOPED_TRACE("delay " + std::to_string(delay) + " s, seed " + std::to_string(seed));
    Streams s(seed);
    StreamTables tables;
    ImportOptions o;
    tables.wrench = s.wrench();
    o.wrench.timeScale = timeUnitScale("us");
    const auto imu = [&](const TrueState& t) {
      std::vector<double> v = s.acc(t, identity, 1.0);
      for (double w : s.gyro(t)) v.push_back(w);
      return v;
    };
    if (delay < 0.0) {  // an IMU file
      tables.imu = s.stream("t,ax,ay,az,wx,wy,wz", 200.0, delay, 1.0, imu);
    } else {  // an accelerometer in g with its own axes, and a gyro or the robot's orientation
      tables.accelerometer = s.stream("time,ax,ay,az", 254.0, delay, 1.0,
                                      [&](const TrueState& t) { return s.acc(t, m, 9.81); });
      o.accelerometer.axes = axes;
      o.accelerometerUnit = AccelerationUnit::StandardGravity;
      if (delay == 0.0) {
        tables.gyro = s.stream("t,wx,wy,wz", 500.0, delay, 1.0,
                               [&](const TrueState& t) { return s.gyro(t); });
      } else {
        // The quaternion's columns in either order.
        const bool wFirst = delay > 0.01;
        tables.orientation = s.stream(
            wFirst ? "t,qw,qx,qy,qz" : "t,qx,qy,qz,qw", 99.0, 0.0, 1.0, [&](const TrueState& t) {
              const Eigen::Quaterniond q = s.attitude(t);
              return wFirst ? std::vector<double>{q.w(), q.x(), q.y(), q.z()}
                            : std::vector<double>{q.x(), q.y(), q.z(), q.w()};
            });
      }
    }
    o.measureNoiseBlock = delay == 0.0065;
    const ImportResult r = importTables(tables, o);
    if (tables.orientation) {
      EXPECT_EQ(r.report.streams[2].form,
                delay > 0.01 ? "quaternion, w first" : "quaternion, w last");
    }
    ASSERT_TRUE(r.report.measuredDelay);
    const DelayEstimate& e = *r.report.measuredDelay;
    std::printf("delay %+.1f ms (seed %d): found %+.3f ms, uncertainty %.3f ms\n", 1e3 * delay,
                static_cast<int>(seed), 1e3 * e.delay, 1e3 * e.uncertainty);
    EXPECT_NEAR(e.delay, delay, 5e-4);
    EXPECT_LT(e.uncertainty, 5e-4);
    EXPECT_FALSE(e.flat || e.ambiguous || e.atEdge);
    if (delay != 0.0) {
      EXPECT_LT(e.forceRmsAtDelay, e.forceRmsAtZero);
    }
    EXPECT_TRUE(r.report.warnings.empty()) << r.report.text();
    // Once shifted back, every stream covers the truth's 0.01 s to kSeconds, less half an
    // interval of the orientation's angular velocity at either end.
    EXPECT_NEAR(r.report.start, 0.01, 6e-3);
    EXPECT_NEAR(r.report.end, kSeconds, 6e-3);

    // Against the truth at the wrench's time stamps: the accelerometer as measured (linear
    // between its rows, its noise no larger), the orientation's angular velocity from
    // differences of angles off by kAngle over 10 ms (√2·kAngle/10 ms = 0.014 rad/s).
    const double acc =
        rmsError(r, s.sim(), 6, [](const TrueState& t) { return t.linearAcceleration; });
    const double gyro =
        rmsError(r, s.sim(), 9, [](const TrueState& t) { return t.angularVelocity; });
    std::printf("  rms error: specific force %.4f m/s^2, angular velocity %.4f rad/s\n", acc, gyro);
    EXPECT_LT(acc, kAcc);
    EXPECT_LT(gyro, tables.orientation ? 1.5 * std::sqrt(2.0) * kAngle * 99.0 : kGyro);
    EXPECT_LT(rmsError(r, s.sim(), 0, [](const TrueState& t) { return t.force; }), 1.2 * kForce);
    if (!r.noise) continue;
    const double dt = 1.0 / 99.0, w = 2.0 * kAngle * kAngle / (dt * dt);
    const double truth[15] = {kForce * kForce,
                              kForce * kForce,
                              kForce * kForce,
                              kTorque * kTorque,
                              kTorque * kTorque,
                              kTorque * kTorque,
                              kAcc * kAcc,
                              kAcc * kAcc,
                              kAcc * kAcc,
                              w,
                              w,
                              w,
                              w * noiseFactorOfAngularAcc(698.0),
                              w * noiseFactorOfAngularAcc(698.0),
                              w * noiseFactorOfAngularAcc(698.0)};
    for (std::size_t i = 0; i < 15; ++i) {
      std::printf("  noise %zu: %.3g of %.3g (%+.1f %%)\n", i, (*r.noise)[i], truth[i],
                  100.0 * ((*r.noise)[i] / truth[i] - 1.0));
      EXPECT_NEAR((*r.noise)[i] / truth[i], 1.0, 0.25) << "variance " << i;
    }
  }
}

TEST(StreamImport, RobotWithoutImuTakesTheFlangeAccelerationFromThePosition) {
  const std::uint64_t seed = 5;
  Streams s(seed);
  StreamTables tables;
  ImportOptions o;
  tables.wrench = s.wrench();
  o.wrench.timeScale = 1e-6;
  // A flange frame turned by 90° about z from the sensor's: sensor x = flange y, y = −flange x.
  o.orientation.axes = AxisMapping::parse("y,-x,z");
  Eigen::Matrix3d m;
  m << 0, 1, 0, -1, 0, 0, 0, 0, 1;
  tables.orientation =
      s.stream("time,r11,r12,r13,r21,r22,r23,r31,r32,r33", 99.0, 0.0, 1.0, [&](const TrueState& t) {
        const Eigen::Matrix3d r = s.attitude(t).toRotationMatrix() * m;  // R_flange = R·M
        return std::vector<double>{r(0, 0), r(0, 1), r(0, 2), r(1, 0), r(1, 1),
                                   r(1, 2), r(2, 0), r(2, 1), r(2, 2)};
      });
  o.positionScale = 1e-3;
  tables.position = s.stream("t,px,py,pz", 99.0, 0.0, 1.0, [&](const TrueState& t) {
    return std::vector<double>{1e3 * (t.position.x() + s.n(kPosition)),
                               1e3 * (t.position.y() + s.n(kPosition)),
                               1e3 * (t.position.z() + s.n(kPosition))};
  });
  o.measureNoiseBlock = true;
  const ImportResult r = importTables(tables, o);
  ASSERT_TRUE(r.report.measuredDelay);
  std::printf("robot, seed %d: delay %+.3f ms, uncertainty %.3f ms\n", static_cast<int>(seed),
              1e3 * r.report.measuredDelay->delay, 1e3 * r.report.measuredDelay->uncertainty);
  EXPECT_NEAR(r.report.delay, 0.0, 5e-4);
  EXPECT_EQ(r.report.streams[1].form, "rotation matrix");

  // p̈ from ±50 ms quadratics: noise √(var(p)·factor) = 7 mm/s², bias 2 % of the hand's sway
  // at 1.5 Hz (up to 1.5 m/s²); R from a slerp between 99 Hz rows.
  const double acc =
      rmsError(r, s.sim(), 6, [](const TrueState& t) { return t.linearAcceleration; });
  const double gyro = rmsError(r, s.sim(), 9, [](const TrueState& t) { return t.angularVelocity; });
  std::printf("  rms error: specific force %.4f m/s^2, angular velocity %.4f rad/s\n", acc, gyro);
  EXPECT_LT(acc, 0.03);
  EXPECT_LT(gyro, 1.5 * std::sqrt(2.0) * kAngle * 99.0);

  // The propagated variances against the same propagation of the true input variances.
  double ay = 0.0, az = 0.0;
  for (const RecordedSample& row : r.samples) {
    ay += row.values[7] * row.values[7] / static_cast<double>(r.samples.size());
    az += row.values[8] * row.values[8] / static_cast<double>(r.samples.size());
  }
  const double pdd = kPosition * kPosition * derivativeNoiseFactor(99.0, 0.05, 2, 2);
  const double ax = kAngle * kAngle * (ay + az) + pdd;
  const double w = 2.0 * kAngle * kAngle * 99.0 * 99.0;
  std::printf("  noise: linear_acc x %.3g of %.3g, angular_vel x %.3g of %.3g\n", (*r.noise)[6], ax,
              (*r.noise)[9], w);
  EXPECT_NEAR((*r.noise)[6] / ax, 1.0, 0.25);
  EXPECT_NEAR((*r.noise)[9] / w, 1.0, 0.25);
  EXPECT_NE(r.report.text().find("specific force: Rᵀ·(p̈ + (0, 0, 9.81 m/s²))"), std::string::npos);
}

TEST(StreamImport, RefusalsSayWhatIsWrong) {
  const std::string wrench = "t,fx,fy,fz,tx,ty,tz\n0,1,2,3,4,5,6\n1,1,2,3,4,5,6\n";
  const std::string imu = "t,ax,ay,az,wx,wy,wz\n0,0,0,9.81,0,0,0\n1,0,0,9.81,0,0,0\n";
  const auto refused = [](const std::string& wrenchText, const std::string& imuText,
                          ImportOptions o) {
    StreamTables t;
    t.wrench = table("w.csv", wrenchText);
    t.imu = table("i.csv", imuText);
    try {
      importTables(t, o);
    } catch (const ToolError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  ImportOptions o;
  o.delay = 0.0;
  EXPECT_EQ(refused(wrench, "t,ax,ay,az,wx,wy,wz\n5,0,0,9.81,0,0,0\n6,0,0,9.81,0,0,0\n", o),
            "the streams have no time in common (on the wrench's clock): wrench 0.000 to 1.000 "
            "s, IMU 5.000 to 6.000 s");
  EXPECT_EQ(refused("t,fx,fy,fz,tx,ty,tz\n0,1,2,3,4,5,6\n\n2,1,2,3,4,5,6\n1,1,2,3,4,5,6\n", imu, o),
            "w.csv:5: time 1 is earlier than the previous row's 2 (time stamps must not go "
            "backwards)");
  EXPECT_EQ(refused(wrench, "t,ax,ay,wx,wy,wz\n0,0,0,0,0,0\n1,0,0,0,0,0\n", o),
            "i.csv: no column 'az' for the IMU (the header has: t, ax, ay, wx, wy, wz)");
  EXPECT_EQ(refused("t,fx,fy,fz,tx,ty,tz\n0,1,2,3,4,5,6\n1,1,2,abc,4,5,6\n", imu, o),
            "w.csv:3: value 'abc' in column 'fz' is not a number");
  o.imu.axes = AxisMapping::parse("x,y,-z");
  EXPECT_EQ(refused(wrench, imu, o),
            "the IMU axes 'x,y,-z' are not a rotation (determinant -1: a mirror image)");
  o.imu.axes.matrix = {1, 0, 0, 0, 1, 0, 0, 1, 1};
  o.imu.axes.text.clear();
  EXPECT_EQ(refused(wrench, imu, o),
            "the IMU axes [1 0 0; 0 1 0; 0 1 1] are not a rotation (its rows are not orthonormal)");
  o.imu.axes = AxisMapping();
  o.delay = -0.045;
  EXPECT_EQ(refused(wrench, imu, o), "a delay given by hand must lie within ±30 ms, got -45.00 ms");
  EXPECT_THROW(
      {
        try {
          AxisMapping::parse("-y,z,q");
        } catch (const ToolError& e) {
          EXPECT_STREQ(e.what(),
                       "axis mapping '-y,z,q': expected three signed axes such as "
                       "\"-y,z,-x\"");
          throw;
        }
      },
      ToolError);
}

}  // namespace
}  // namespace zelto::tool
