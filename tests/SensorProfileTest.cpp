#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "PayloadSimulator.h"
#include "SensorRecording.h"
#include "TestUtils.h"

namespace zelto::sim {
namespace {

constexpr std::uint64_t kSeed = 20250314;  // fixed seed of every randomised case below
constexpr double kPi = 3.14159265358979323846;

class SeedPrinter : public ::testing::Environment {
 public:
  void SetUp() override { std::cout << "SensorProfileTest seed: " << kSeed << "\n"; }
};
[[maybe_unused]] ::testing::Environment* const seedPrinter =
    ::testing::AddGlobalTestEnvironment(new SeedPrinter);

// The measured runs: a 0.93 kg tool, its centre of mass near the sensor's z axis, turned by π
// about one sensor axis in 6.3 s.
Payload tool() {
  return Payload::fromCentroidal(
      0.93, Eigen::Vector3d(0.002, -0.001, 0.044), {1.1e-3, 2e-5, -3e-5, 1.2e-3, 1e-5, 6e-4},
      Eigen::Vector3d(0.4, -0.7, 1.1), Eigen::Vector3d(0.02, 0.01, -0.03));
}

Motion turn(int axis) {
  Motion m;
  m.robotTurn = true;
  m.turn.axis = axis;
  m.turn.angle = kPi;
  m.turn.moveTime = 6.3;
  return m;
}

// The truth from the plain simulator, independent of the recording's own bookkeeping.
PayloadSimulator truthFor(const Motion& motion) {
  Options o;
  o.payload = tool();
  o.motion = motion;
  o.seed = kSeed;
  return PayloadSimulator(o);
}

struct Figures {
  double white = 0, total = 0, lag1 = 0, kurtosis = 0;
};

double median(std::vector<double> x) {
  const auto middle = x.begin() + static_cast<std::ptrdiff_t>(x.size() / 2);
  std::nth_element(x.begin(), middle, x.end());
  return *middle;
}

// Mean-free moments; white = (1.4826·MAD(Δ⁴x))²/70, as the figures were measured.
Figures figures(const std::vector<double>& x) {
  const double n = static_cast<double>(x.size());
  double mean = 0;
  for (double v : x) mean += v / n;
  double m2 = 0, m4 = 0, lag = 0;
  std::vector<double> d;
  for (std::size_t k = 0; k < x.size(); ++k) {
    const double e = x[k] - mean;
    m2 += e * e / n;
    m4 += e * e * e * e / n;
    if (k + 1 < x.size()) lag += e * (x[k + 1] - mean);
    if (k + 4 < x.size()) d.push_back(x[k] - 4 * x[k + 1] + 6 * x[k + 2] - 4 * x[k + 3] + x[k + 4]);
  }
  const double centre = median(d);
  for (double& v : d) v = std::abs(v - centre);
  const double sigma = 1.482602218505602 * median(d);
  return {sigma * sigma / 70, m2, lag / (n * m2), m4 / (m2 * m2)};
}

// ---------------------------------------------------------------------------------------------
TEST(SensorRecording, NoiseOfEveryChannelReadsTheConfiguredFigures) {
  const Motion motion = turn(0);
  const SensorRecording rec(tool(), motion, kSeed, 300.0);
  const PayloadSimulator truth = truthFor(motion);
  const SensorProfile& p = rec.profile();
  const auto check = [](const char* name, const Figures& f, const ChannelNoise& c) {
    std::printf("%s white %.4g (%.4g) total %.4g (%.4g) lag-1 %.3f kurtosis %.2f\n", name, f.white,
                c.white, f.total, c.total, f.lag1, f.kurtosis);
    EXPECT_NEAR(f.white / c.white, 1.0, 0.25) << name;
    EXPECT_NEAR(f.total / c.total, 1.0, 0.25) << name;
  };
  const char* wrenchNames[] = {"fx", "fy", "fz", "tx", "ty", "tz"};
  for (std::size_t c = 0; c < 6; ++c) {
    std::vector<double> noise;
    for (std::size_t k = 0; k < rec.wrench().size(); ++k) {
      const TrueState s = truth.stateAt(rec.wrench().times[k]);
      const double exact = c < 3 ? s.force[static_cast<Eigen::Index>(c)]
                                 : s.torque[static_cast<Eigen::Index>(c - 3)];
      noise.push_back(rec.wrench().values[k][c] - exact);
    }
    const Figures f = figures(noise);
    check(wrenchNames[c], f, p.wrench.noise[c]);
    EXPECT_TRUE(f.kurtosis > 3.3 && f.kurtosis < 5.0) << wrenchNames[c] << " " << f.kurtosis;
    if (c < 3) {
      EXPECT_TRUE(f.lag1 > 0.4 && f.lag1 < 0.8) << wrenchNames[c] << " " << f.lag1;
    }
  }
  const char* accNames[] = {"ax", "ay", "az"};
  for (std::size_t c = 0; c < 3; ++c) {
    std::vector<double> noise;
    for (std::size_t k = 0; k < rec.accelerometer().size(); ++k) {
      const double t = rec.accelerometer().times[k] - 0.0065;
      noise.push_back(rec.accelerometer().values[k][c] -
                      truth.stateAt(t).linearAcceleration[static_cast<Eigen::Index>(c)]);
    }
    check(accNames[c], figures(noise), p.accelerometer.noise[c]);
  }
}

TEST(SensorRecording, AccelerometerLagsByTheDelayInWholeQuantaAndItsOwnAxes) {
  const Motion motion = turn(1);
  const PayloadSimulator truth = truthFor(motion);
  // Noise-free: the stream is the specific force at t − 6.5 ms, not at t.
  const SensorRecording exact(tool(), motion, kSeed, 8.0, SensorProfile::noiseFree());
  const SensorStream<3>& a = exact.accelerometer();
  ASSERT_GT(a.size(), 2000u);
  EXPECT_EQ(exact.delay(), 0.0065);
  EXPECT_GE(a.times.front() - 0.0065, 0.0);
  double offByDelay = 0;
  for (std::size_t k = 0; k < a.size(); ++k) {
    const Eigen::Vector3d v(a.values[k][0], a.values[k][1], a.values[k][2]);
    ASSERT_EQ(v, truth.stateAt(a.times[k] - 0.0065).linearAcceleration) << a.times[k];
    offByDelay = std::max(offByDelay, (v - truth.stateAt(a.times[k]).linearAcceleration).norm());
  }
  EXPECT_GT(offByDelay, 0.03);  // mid-turn gravity turns by 0.94 rad/s·6.5 ms: 0.06 m/s²

  // With noise: every value a whole number of 0.0024 m/s², and single steps occur.
  const SensorRecording rec(tool(), motion, kSeed, 8.0);
  double smallestStep = 1.0;
  for (std::size_t k = 0; k < rec.accelerometer().size(); ++k) {
    for (std::size_t c = 0; c < 3; ++c) {
      const double counts = rec.accelerometer().values[k][c] / 0.0024;
      ASSERT_NEAR(counts, std::round(counts), 1e-9);
      if (k == 0) continue;
      const double step =
          std::abs(rec.accelerometer().values[k][c] - rec.accelerometer().values[k - 1][c]);
      if (step > 0) smallestStep = std::min(smallestStep, step);
    }
  }
  EXPECT_NEAR(smallestStep, 0.0024, 1e-12);

  // Written in g and in the IMU's axes: sensor x = −acc y, sensor y = acc z, sensor z = −acc x.
  StreamFormat format;
  format.accelerometerInG = format.imuAxes = true;
  const SensorStream<3> written = exact.accelerometerAsWritten(format);
  const std::array<double, 3>& s = a.values[100];
  const std::array<double, 3>& w = written.values[100];
  EXPECT_EIGEN_NEAR(Eigen::Vector3d(-w[1], w[2], -w[0]) * 9.81, Eigen::Vector3d(s[0], s[1], s[2]),
                    1e-14);
  EXPECT_EQ(written.times, a.times);
}

TEST(SensorRecording, RecordingOnTheWrenchClockHasSmoothImuChannelsAndAConstantStillAxis) {
  const Motion motion = turn(0);
  const PayloadSimulator truth = truthFor(motion);
  const SensorRecording rec(tool(), motion, kSeed, 30.0);
  const SensorStream<12> r = rec.recording();
  ASSERT_GT(r.size(), 20000u);
  const std::size_t first = static_cast<std::size_t>(std::llround(r.times[0] * 698.0));
  EXPECT_GE(r.times[0], rec.accelerometer().times[0]);
  double omegaError = 0;
  std::array<std::vector<double>, 3> acc;
  for (std::size_t k = 0; k < r.size(); ++k) {
    ASSERT_EQ(r.times[k], rec.wrench().times[first + k]);
    for (std::size_t i = 0; i < 6; ++i)
      ASSERT_EQ(r.values[k][i], rec.wrench().values[first + k][i]);
    // The turn is about x: y and z are exactly zero, not merely small.
    ASSERT_EQ(r.values[k][10], 0.0) << r.times[k];
    ASSERT_EQ(r.values[k][11], 0.0) << r.times[k];
    omegaError = std::max(omegaError,
                          std::abs(r.values[k][9] - truth.stateAt(r.times[k]).angularVelocity.x()));
    // The accelerometer between the samples j and j + 1 whose stamps j/254 bracket t.
    const SensorStream<3>& a = rec.accelerometer();
    const std::size_t j = static_cast<std::size_t>(std::floor(r.times[k] * 254.0)) -
                          static_cast<std::size_t>(std::llround(a.times[0] * 254.0));
    const double u = (r.times[k] - a.times[j]) * 254.0;
    for (std::size_t i = 0; i < 3; ++i) {
      ASSERT_NEAR(r.values[k][6 + i], a.values[j][i] + u * (a.values[j + 1][i] - a.values[j][i]),
                  1e-10);
      acc[i].push_back(r.values[k][6 + i]);
    }
  }
  EXPECT_LT(omegaError, 1e-4);
  // Linearly interpolated from 254 Hz, the accelerometer looks almost noise-free to the fourth
  // difference on the wrench clock: its differences vanish except near the knots, and white
  // noise reads about 250 times less than its variance.
  for (std::size_t i = 0; i < 3; ++i) {
    const double ratio = rec.profile().accelerometer.noise[i].total / figures(acc[i]).white;
    std::printf("accelerometer %zu: total variance / white read on the wrench clock = %.0f\n", i,
                ratio);
    EXPECT_GT(ratio, 200.0);
  }
}

TEST(SensorRecording, TapsRingAtTheStructuresModeAndFadeContactsDoNot) {
  SensorProfile p = SensorProfile::noiseFree();
  Disturbance tap;
  tap.shape = Disturbance::Shape::HalfSine;
  tap.start = 1.0;
  tap.duration = 0.01;
  tap.force = Eigen::Vector3d(0, 0, -40);
  tap.point = Eigen::Vector3d(0.05, 0, 0);
  p.wrench.disturbances = {tap, contact(2.0, 0.5, {5, 0, 0}, {0, 0, 0.1})};
  const SensorRecording rec(tool(), turn(2), kSeed, 3.0, p);
  const SensorStream<6>& w = rec.wrench();
  double late = 0, previousSign = 1;
  int signChanges = 0;
  for (std::size_t k = 0; k < w.size(); ++k) {
    const double t = w.times[k];
    const TrueState s = rec.stateAt(t);
    const double fx = w.values[k][0] - s.force.x() - s.externalForce.x();
    const double fz = w.values[k][2] - s.force.z() - s.externalForce.z();
    const double ty = w.values[k][4] - s.torque.y() - s.externalTorque.y();
    ASSERT_NEAR(fx, 0.0, 1e-12) << t;  // the push along x does not ring
    if (t <= 1.01) {
      ASSERT_NEAR(fz, 0.0, 1e-12) << t;  // nothing before the pulse ends
      continue;
    }
    const double u = t - 1.01;
    const double expected = -0.5 * std::exp(-u / 0.05) * std::sin(2 * kPi * 40 * u) * -40;
    ASSERT_NEAR(fz, expected, 1e-9) << t;
    ASSERT_NEAR(ty, -0.05 * fz, 1e-12) << t;  // the moment of the ringing force at the tap point
    if (u < 0.1 && std::abs(fz) > 1 && fz * previousSign < 0) ++signChanges;
    if (std::abs(fz) > 1) previousSign = fz;
    if (u > 0.2) late = std::max(late, std::abs(fz));
  }
  EXPECT_GE(signChanges, 6);  // 40 Hz: eight half periods within 0.1 s
  EXPECT_LT(late, 0.02 * 40);
}

TEST(SensorRecording, StreamsFollowTheSeedAndThePayloadSimulatorIsUnchanged) {
  SensorProfile p;
  p.orientation.jitter = 0.004;
  Motion hand;
  const SensorRecording a(tool(), hand, kSeed, 5.0, p), b(tool(), hand, kSeed, 5.0, p);
  EXPECT_EQ(a.wrench().values, b.wrench().values);
  EXPECT_EQ(a.accelerometer().values, b.accelerometer().values);
  EXPECT_EQ(a.gyro().values, b.gyro().values);
  EXPECT_EQ(a.orientation().times, b.orientation().times);
  EXPECT_EQ(a.fileOrder(), tool().fileOrder());
  // Another channel's figures leave fx's noise alone; another seed changes it.
  p.wrench.noise[1].total *= 2;
  const SensorRecording c(tool(), hand, kSeed, 5.0, p), d(tool(), hand, kSeed + 1, 5.0);
  for (std::size_t k = 0; k < a.wrench().size(); ++k) {
    ASSERT_EQ(c.wrench().values[k][0], a.wrench().values[k][0]);
    ASSERT_NE(d.wrench().values[k][0], a.wrench().values[k][0]);
  }

  // Recordings made by the plain simulator before the real-sensor profile existed depend on
  // it bit for bit: a hash of a stream with noise, drops, repeats and taps (x86-64, IEEE
  // doubles without contraction).
  Options o;
  o.payload = Payload::fromCentroidal(
      0.93, Eigen::Vector3d(0.004, -0.006, 0.052), {1.1e-3, 2e-5, -3e-5, 1.2e-3, 1e-5, 6e-4},
      Eigen::Vector3d(0.4, -0.7, 1.1), Eigen::Vector3d(0.02, 0.01, -0.03));
  o.seed = kSeed;
  o.noise = {0.01, 1e-5, 1e-3, 1e-5};
  o.dropProbability = o.repeatProbability = 0.05;
  o.disturbances = randomTaps(kSeed, 5, 0.0, 10.0);
  PayloadSimulator sim(o);
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a over the bytes of every double
  const auto add = [&hash](double v) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&v);
    for (std::size_t i = 0; i < sizeof v; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
  };
  for (const SimSample& s : sim.generate(10.0)) {
    add(s.time);
    for (double v : s.values) add(v);
  }
  EXPECT_EQ(hash, 5133324811031947545ull);
}

TEST(SensorRecording, HandMotionStreamsAreWrittenWithTheirOwnClocks) {
  SensorProfile p;
  p.orientation.jitter = 0.004;
  const SensorRecording rec(tool(), Motion{}, kSeed, 3.0, p);
  const SensorStream<9>& o = rec.orientation();
  const SensorStream<4> q = rec.orientationQuaternions();
  for (std::size_t k = 0; k < o.size(); ++k) {
    ASSERT_GE(o.times[k], static_cast<double>(k) / 99.0);
    ASSERT_LT(o.times[k], static_cast<double>(k) / 99.0 + 0.004);
    const TrueState s = rec.stateAt(o.times[k]);
    const Eigen::Quaterniond quaternion(q.values[k][0], q.values[k][1], q.values[k][2],
                                        q.values[k][3]);
    ASSERT_EIGEN_NEAR(quaternion.toRotationMatrix(), s.orientation, 1e-14);
    ASSERT_EQ(o.values[k][5], s.orientation(1, 2));
    ASSERT_EQ(rec.position().values[k][2], s.position.z());
  }
  EXPECT_GT(std::abs(rec.position().values.back()[0]), 1e-3);  // hand motion also translates

  const std::string path = ::testing::TempDir() + "sensor_profile_accelerometer.csv";
  StreamFormat format;
  format.time = TimeUnit::Microseconds;
  format.accelerometerInG = format.imuAxes = true;
  rec.writeCsv(SensorRecording::Stream::Accelerometer, path, format);
  std::ifstream in(path);
  std::string header, row;
  std::getline(in, header);
  std::getline(in, row);
  EXPECT_EQ(header, "t,ax,ay,az");
  const SensorStream<3> written = rec.accelerometerAsWritten(format);
  const std::string expected = std::to_string(std::llround(written.times[0] * 1e6)) + "," +
                               formatValue(written.values[0][0]) + "," +
                               formatValue(written.values[0][1]) + "," +
                               formatValue(written.values[0][2]);
  EXPECT_EQ(row, expected);
  rec.writeCsv(SensorRecording::Stream::Recording, path);
  std::ifstream again(path);
  std::getline(again, header);
  EXPECT_EQ(header, "time,fx,fy,fz,tx,ty,tz,ax,ay,az,wx,wy,wz");
  std::remove(path.c_str());
}

TEST(SensorRecording, RejectsImpossibleProfiles) {
  const auto rejects = [](auto change) {
    SensorProfile p;
    change(p);
    EXPECT_THROW(SensorRecording(tool(), Motion{}, kSeed, 1.0, p), std::invalid_argument);
  };
  rejects([](SensorProfile& p) { p.wrench.rate = 0; });
  rejects([](SensorProfile& p) { p.accelerometer.quantum = -1; });
  rejects([](SensorProfile& p) { p.orientation.jitter = 0.02; });
  rejects([](SensorProfile& p) { p.wrench.noise[0].total = 0.05; });  // below white
  // The torque's resonances alone read more than this as white.
  rejects([](SensorProfile& p) { p.wrench.noise[5].white = 1e-6; });
  rejects([](SensorProfile& p) { p.accelerometer.noise[2].resonances[1].frequency = 130; });
  rejects([](SensorProfile& p) { p.wrench.noise[3].kurtosis = 2.5; });
}

}  // namespace
}  // namespace zelto::sim
