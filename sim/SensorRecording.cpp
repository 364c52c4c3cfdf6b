#include "SensorRecording.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace zelto::sim {

namespace {

constexpr double kPi = 3.14159265358979323846;

void require(bool condition, const std::string& message) {
  if (!condition) throw std::invalid_argument("SensorRecording: " + message);
}

bool positive(double x) { return std::isfinite(x) && x > 0.0; }

void validate(const SensorProfile& p, double duration) {
  require(std::isfinite(duration) && duration >= 0.0, "the duration must not be negative");
  require(positive(p.wrench.rate) && positive(p.accelerometer.rate) &&
              positive(p.orientation.rate) && positive(p.gyro.rate),
          "every rate must be positive");
  require(std::isfinite(p.accelerometer.delay), "the delay must be finite");
  require(std::isfinite(p.accelerometer.quantum) && p.accelerometer.quantum >= 0.0,
          "the accelerometer quantum must not be negative");
  require(positive(p.accelerometer.g), "g must be positive");
  require(std::isfinite(p.orientation.jitter) && p.orientation.jitter >= 0.0 &&
              p.orientation.jitter < 1.0 / p.orientation.rate,
          "the pose jitter must lie in [0, 1/rate)");
  require(std::isfinite(p.gyro.variance) && p.gyro.variance >= 0.0,
          "the gyro variance must not be negative");
  require(positive(p.wrench.ringing.frequency) && positive(p.wrench.ringing.decay) &&
              std::isfinite(p.wrench.ringing.amplitude),
          "the ringing needs a positive frequency and decay and a finite amplitude");
}

// The payload simulator that holds the truth: same payload, motion, seed and disturbances, no
// noise of its own. The profile is checked first, so that its errors come before the motion's.
Options truthOptions(const Payload& payload, const Motion& motion, std::uint64_t seed,
                     const SensorProfile& profile, double duration) {
  validate(profile, duration);
  Options o;
  o.payload = payload;
  o.motion = motion;
  o.motion.rate = profile.wrench.rate;  // only stateAt() is used: the rate is never looked at
  o.seed = seed;
  o.disturbances = profile.wrench.disturbances;
  return o;
}

Eigen::Vector3d vec(const std::array<double, 3>& a) { return {a[0], a[1], a[2]}; }

std::array<double, 3> arr(const Eigen::Vector3d& v) { return {v.x(), v.y(), v.z()}; }

Eigen::Matrix3d matrix(const std::array<double, 9>& r) {
  Eigen::Matrix3d m;
  m << r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8];
  return m;
}

// Rotation vector of a rotation matrix: angle θ·axis. 2·sin θ·axis is the skew part and
// 1 + 2·cos θ the trace; atan2 of the two keeps full precision for small turns, and for the
// turn about a coordinate axis the other two components come out exactly zero. Valid below
// π, which consecutive poses of a stream stay far away from.
Eigen::Vector3d rotationVector(const Eigen::Matrix3d& d) {
  const Eigen::Vector3d v(d(2, 1) - d(1, 2), d(0, 2) - d(2, 0), d(1, 0) - d(0, 1));
  const double s = 0.5 * v.norm();           // sin θ
  const double c = 0.5 * (d.trace() - 1.0);  // cos θ
  const double theta = std::atan2(s, c);
  // θ/(2·sin θ) → 1/2 as θ → 0 (1/2 + θ²/12 + …).
  const double scale = s > 1e-8 ? theta / (2.0 * s) : 0.5 + theta * theta / 12.0;
  return scale * v;
}

// First sample index j ≥ 0 of a clock at `rate` whose described time j/rate − delay is not
// negative.
std::uint64_t firstIndex(double rate, double delay) {
  std::uint64_t j = delay > 0.0 ? static_cast<std::uint64_t>(std::ceil(delay * rate)) : 0;
  while (j > 0 && static_cast<double>(j - 1) / rate - delay >= 0.0) --j;
  while (static_cast<double>(j) / rate - delay < 0.0) ++j;
  return j;
}

// Linear interpolation along a stream at increasing query times.
template <std::size_t N>
class Interpolator {
 public:
  explicit Interpolator(const SensorStream<N>& s) : s_(s) {}
  std::array<double, N> at(double t) {
    while (i_ + 1 < s_.size() && s_.times[i_ + 1] <= t) ++i_;
    if (i_ + 1 >= s_.size()) return s_.values[i_];
    const double u = (t - s_.times[i_]) / (s_.times[i_ + 1] - s_.times[i_]);
    std::array<double, N> v{};
    // a + (b − a)·u: equal knots give exactly the knot's value.
    for (std::size_t c = 0; c < N; ++c) {
      const double a = s_.values[i_][c], b = s_.values[i_ + 1][c];
      v[c] = a + (b - a) * u;
    }
    return v;
  }

 private:
  const SensorStream<N>& s_;
  std::size_t i_ = 0;
};

template <std::size_t N>
void append(SensorStream<N>& s, double t, const std::array<double, N>& values) {
  s.times.push_back(t);
  s.values.push_back(values);
}

}  // namespace

SensorRecording::SensorRecording(const Payload& payload, const Motion& motion, std::uint64_t seed,
                                 double duration, const SensorProfile& profile)
    : profile_(profile),
      payload_(payload),
      vibration_(profile.vibration, seed),
      truth_(truthOptions(payload, motion, seed, profile, duration)) {
  generateWrench(seed, duration);
  generateImu(seed, duration);
  generatePoses(seed, duration);
}

void SensorRecording::addRinging(double t, std::array<double, 6>& ringing) const {
  const TapRinging& r = profile_.wrench.ringing;
  if (r.amplitude == 0.0) return;
  for (const Disturbance& d : profile_.wrench.disturbances) {
    if (d.shape != Disturbance::Shape::HalfSine || d.duration <= 0.0) continue;
    const double u = t - (d.start + d.duration);
    if (u < 0.0 || u > 40.0 * r.decay) continue;  // e^−40: nothing left
    const double g = -r.amplitude * std::exp(-u / r.decay) * std::sin(2.0 * kPi * r.frequency * u);
    const Eigen::Vector3d moment = d.point.cross(d.force);
    for (int i = 0; i < 3; ++i) {
      ringing[static_cast<std::size_t>(i)] += g * d.force[i];
      ringing[static_cast<std::size_t>(3 + i)] += g * moment[i];
    }
  }
}

std::array<double, 6> SensorRecording::vibrationWrench(double t) const {
  const Eigen::Vector3d a = vibration_.at(t);
  const Eigen::Vector3d force = -payload_.mass * a;
  const Eigen::Vector3d moment = a.cross(payload_.mass * payload_.com);
  return {force.x(), force.y(), force.z(), moment.x(), moment.y(), moment.z()};
}

void SensorRecording::generateWrench(std::uint64_t seed, double duration) {
  const WrenchProfile& w = profile_.wrench;
  const std::array<double, 6> common =
      commonWrenchVariance(profile_.vibration, payload_.mass, payload_.mass * payload_.com);
  std::vector<Random> randoms;
  std::vector<ColouredNoise> noise;
  for (std::uint32_t c = 0; c < 6; ++c) {
    randoms.emplace_back(seed, 8 + c);
    const ChannelNoise own = withoutCommonShare(w.noise[c], profile_.vibration, common[c], w.rate,
                                                CommonShare::FromTheMode);
    noise.emplace_back(own, w.rate, profile_.envelopeTime, randoms.back());
    wrenchNoise_.push_back(noise.back().design());
  }
  for (std::uint64_t k = 0;; ++k) {
    const double t = static_cast<double>(k) / w.rate;
    if (t > duration) break;
    const TrueState s = truth_.stateAt(t);
    std::array<double, 6> body{}, external{}, ringing{}, measured{};
    for (std::size_t i = 0; i < 3; ++i) {
      const auto e = static_cast<Eigen::Index>(i);
      body[i] = s.force[e];
      body[3 + i] = s.torque[e];
      external[i] = s.externalForce[e];
      external[3 + i] = s.externalTorque[e];
    }
    addRinging(t, ringing);
    const std::array<double, 6> vibration = vibrationWrench(t);
    for (std::size_t c = 0; c < 6; ++c) {
      measured[c] = body[c] + external[c] + ringing[c] + vibration[c] + noise[c].next(randoms[c]);
    }
    append(wrench_, t, measured);
    append(payloadWrench_, t, body);
    append(externalWrench_, t, external);
    append(ringing_, t, ringing);
  }
}

void SensorRecording::generateImu(std::uint64_t seed, double duration) {
  const AccelerometerProfile& a = profile_.accelerometer;
  std::vector<Random> randoms;
  std::vector<ColouredNoise> noise;
  for (std::uint32_t c = 0; c < 3; ++c) {
    randoms.emplace_back(seed, 16 + c);
    const ChannelNoise own =
        withoutCommonShare(a.noise[c], profile_.vibration, profile_.vibration.variance[c], a.rate,
                           CommonShare::Evenly);
    noise.emplace_back(own, a.rate, profile_.envelopeTime, randoms.back());
    accelerometerNoise_.push_back(noise.back().design());
  }
  for (std::uint64_t j = firstIndex(a.rate, a.delay);; ++j) {
    const double t = static_cast<double>(j) / a.rate;
    if (t > duration) break;
    const std::array<double, 3> truth = arr(truth_.stateAt(t - a.delay).linearAcceleration);
    const Eigen::Vector3d vibration = vibration_.at(t - a.delay);
    std::array<double, 3> measured{};
    for (std::size_t c = 0; c < 3; ++c) {
      measured[c] = truth[c] + vibration[static_cast<Eigen::Index>(c)] + noise[c].next(randoms[c]);
      // Whole counts of the converter; std::round is symmetric, so the IMU's signed axis
      // permutation gives the same counts.
      if (a.quantum > 0.0) measured[c] = a.quantum * std::round(measured[c] / a.quantum);
    }
    append(accelerometer_, t, measured);
    append(trueSpecificForce_, t, truth);
  }

  const GyroProfile& g = profile_.gyro;
  Random random(seed, 6);
  const double sd = std::sqrt(g.variance);
  for (std::uint64_t j = firstIndex(g.rate, a.delay);; ++j) {
    const double t = static_cast<double>(j) / g.rate;
    if (t > duration) break;
    std::array<double, 3> measured = arr(truth_.stateAt(t - a.delay).angularVelocity);
    for (double& v : measured) v += sd * random.gaussian();
    append(gyro_, t, measured);
  }
}

void SensorRecording::generatePoses(std::uint64_t seed, double duration) {
  const OrientationProfile& o = profile_.orientation;
  Random random(seed, 5);
  for (std::uint64_t k = 0;; ++k) {
    // Drawn also without jitter, so that switching it on changes nothing else.
    const double late = o.jitter * random.uniform();
    const double t = static_cast<double>(k) / o.rate + late;
    if (t > duration) break;
    const Kinematics kin = truth_.motion().at(t);
    std::array<double, 9> r{};
    for (std::size_t i = 0; i < 9; ++i) {
      r[i] = kin.orientation(static_cast<Eigen::Index>(i / 3), static_cast<Eigen::Index>(i % 3));
    }
    append(orientation_, t, r);
    append(position_, t, arr(kin.position));
  }
}

SensorStream<3> SensorRecording::angularVelocityFromOrientation() const {
  SensorStream<3> w;
  for (std::size_t k = 0; k + 1 < orientation_.size(); ++k) {
    const double t0 = orientation_.times[k], t1 = orientation_.times[k + 1];
    const Eigen::Matrix3d relative =
        matrix(orientation_.values[k]).transpose() * matrix(orientation_.values[k + 1]);
    append(w, 0.5 * (t0 + t1), arr(rotationVector(relative) / (t1 - t0)));
  }
  return w;
}

SensorStream<12> SensorRecording::recording() const {
  SensorStream<12> r;
  const SensorStream<3> omega = angularVelocityFromOrientation();
  if (omega.size() == 0 || accelerometer_.size() == 0) return r;
  const double from = std::max(accelerometer_.times.front(), omega.times.front());
  const double to = std::min(accelerometer_.times.back(), omega.times.back());
  Interpolator<3> acc(accelerometer_), gyro(omega);
  for (std::size_t k = 0; k < wrench_.size(); ++k) {
    const double t = wrench_.times[k];
    if (t < from || t > to) continue;
    std::array<double, 12> row{};
    const std::array<double, 3> a = acc.at(t), w = gyro.at(t);
    for (std::size_t i = 0; i < 6; ++i) row[i] = wrench_.values[k][i];
    for (std::size_t i = 0; i < 3; ++i) {
      row[6 + i] = a[i];
      row[9 + i] = w[i];
    }
    append(r, t, row);
  }
  return r;
}

namespace {

SensorStream<3> imuAsWritten(const SensorStream<3>& s, double scale, bool imuAxes) {
  SensorStream<3> out;
  out.times = s.times;
  out.values.reserve(s.size());
  for (const std::array<double, 3>& v : s.values) {
    const Eigen::Vector3d x = vec(v) * scale;
    out.values.push_back(arr(imuAxes ? sensorToImuAxes(x) : x));
  }
  return out;
}

}  // namespace

SensorStream<3> SensorRecording::accelerometerAsWritten(const StreamFormat& format) const {
  return imuAsWritten(accelerometer_,
                      format.accelerometerInG ? 1.0 / profile_.accelerometer.g : 1.0,
                      format.imuAxes);
}

SensorStream<3> SensorRecording::gyroAsWritten(const StreamFormat& format) const {
  return imuAsWritten(gyro_, 1.0, format.imuAxes);
}

SensorStream<4> SensorRecording::orientationQuaternions() const {
  SensorStream<4> q;
  q.times = orientation_.times;
  for (const std::array<double, 9>& r : orientation_.values) {
    Eigen::Quaterniond quaternion(matrix(r));
    quaternion.normalize();
    // q and −q are the same turn; the positive scalar part makes the stream unambiguous.
    if (quaternion.w() < 0.0) quaternion.coeffs() = -quaternion.coeffs();
    q.values.push_back({quaternion.w(), quaternion.x(), quaternion.y(), quaternion.z()});
  }
  return q;
}

void SensorRecording::writeCsv(Stream stream, const std::string& path,
                               const StreamFormat& format) const {
  const TimeUnit unit = format.time;
  switch (stream) {
    case Stream::Wrench:
      sim::writeCsv(path, wrench_, {"fx", "fy", "fz", "tx", "ty", "tz"}, unit);
      return;
    case Stream::Accelerometer:
      sim::writeCsv(path, accelerometerAsWritten(format), {"ax", "ay", "az"}, unit);
      return;
    case Stream::Gyro:
      sim::writeCsv(path, gyroAsWritten(format), {"wx", "wy", "wz"}, unit);
      return;
    case Stream::Orientation:
      if (format.quaternion) {
        sim::writeCsv(path, orientationQuaternions(), {"qw", "qx", "qy", "qz"}, unit);
      } else {
        sim::writeCsv(path, orientation_,
                      {"r11", "r12", "r13", "r21", "r22", "r23", "r31", "r32", "r33"}, unit);
      }
      return;
    case Stream::Position:
      sim::writeCsv(path, position_, {"px", "py", "pz"}, unit);
      return;
    case Stream::Recording:
      sim::writeCsv(path, recording(),
                    {"fx", "fy", "fz", "tx", "ty", "tz", "ax", "ay", "az", "wx", "wy", "wz"}, unit,
                    "time");
      return;
  }
}

}  // namespace zelto::sim
