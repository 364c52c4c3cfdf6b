#include "MotionProfile.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

namespace zelto::sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;

// Body rates of R = Rz(yaw)·Ry(pitch)·Rx(roll) from the Euler angles e = (roll, pitch, yaw)
// and their derivatives: ω = Rx(roll)ᵀ·(e_x·roll̇ + Ry(pitch)ᵀ·(e_y·pitcḣ + Rz(yaw)ᵀ·e_z·yaẇ)).
// α is the time derivative of those closed-form expressions, term by term.
void eulerKinematics(const Eigen::Vector3d& e, const Eigen::Vector3d& de,
                     const Eigen::Vector3d& dde, Kinematics& k) {
  const double sr = std::sin(e.x()), cr = std::cos(e.x());
  const double sp = std::sin(e.y()), cp = std::cos(e.y());
  const double dr = de.x(), dp = de.y(), dy = de.z();
  const double ddr = dde.x(), ddp = dde.y(), ddy = dde.z();

  k.orientation = (Eigen::AngleAxisd(e.z(), Eigen::Vector3d::UnitZ()) *
                   Eigen::AngleAxisd(e.y(), Eigen::Vector3d::UnitY()) *
                   Eigen::AngleAxisd(e.x(), Eigen::Vector3d::UnitX()))
                      .toRotationMatrix();
  k.angularVelocity << dr - dy * sp,  //
      dp * cr + dy * cp * sr,         //
      -dp * sr + dy * cp * cr;
  k.angularAcceleration << ddr - ddy * sp - dy * dp * cp,
      ddp * cr - dp * dr * sr + ddy * cp * sr - dy * dp * sp * sr + dy * dr * cp * cr,
      -ddp * sr - dp * dr * cr + ddy * cp * cr - dy * dp * sp * cr - dy * dr * cp * sr;
}

// Quintic blend with zero first and second derivative at both ends, so that ω and α are
// continuous where a move meets a hold.
void quintic(double u, double& s, double& ds, double& dds) {
  const double u2 = u * u, u3 = u2 * u;
  s = u3 * (10.0 - 15.0 * u + 6.0 * u2);
  ds = 30.0 * u2 * (1.0 - u) * (1.0 - u);
  dds = 60.0 * u * (1.0 - u) * (1.0 - 2.0 * u);
}

}  // namespace

Random::Random(std::uint64_t seed, std::uint32_t stream) {
  std::seed_seq sequence{static_cast<std::uint32_t>(seed & 0xffffffffu),
                         static_cast<std::uint32_t>(seed >> 32), stream};
  engine_.seed(sequence);
}

double Random::uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }

double Random::uniform(double low, double high) { return low + (high - low) * uniform(); }

double Random::gaussian() {
  if (hasSpare_) {
    hasSpare_ = false;
    return spare_;
  }
  const double u1 = 1.0 - uniform();  // (0, 1]: the logarithm stays finite
  const double u2 = uniform();
  const double r = std::sqrt(-2.0 * std::log(u1));
  spare_ = r * std::sin(2.0 * kPi * u2);
  hasSpare_ = true;
  return r * std::cos(2.0 * kPi * u2);
}

MotionProfile::MotionProfile(const Motion& motion, std::uint64_t seed)
    : staticPoses_(motion.staticPoses), robotTurn_(motion.robotTurn), turn_(motion.turn) {
  if (robotTurn_) {
    const auto require = [](bool condition, const char* message) {
      if (!condition) throw std::invalid_argument(std::string("MotionProfile: ") + message);
    };
    require(!staticPoses_, "static poses and the robot turn exclude each other");
    require(turn_.axis >= 0 && turn_.axis <= 2, "the turn axis must be 0, 1 or 2");
    require(std::isfinite(turn_.angle), "the turn angle must be finite");
    require(std::isfinite(turn_.moveTime) && turn_.moveTime > 0.0,
            "the turn move time must be positive");
    require(std::isfinite(turn_.hold) && turn_.hold >= 0.0, "the turn hold must not be negative");
    require(turn_.pivot.allFinite(), "the turn pivot must be finite");
    return;
  }
  Random random(seed, 1);
  if (staticPoses_) {
    buildStaticPoses(random, motion.intensity);
  } else {
    buildHandMotion(random, motion.intensity);
  }
}

void MotionProfile::buildHandMotion(Random& random, double intensity) {
  const auto harmonic = [&](double ampLow, double ampHigh, double fLow, double fHigh) {
    Harmonic h;
    h.amplitude = random.uniform(ampLow, ampHigh);
    h.omega = 2.0 * kPi * random.uniform(fLow, fHigh) * intensity;
    h.phase = random.uniform(0.0, 2.0 * kPi);
    return h;
  };
  // The base figure: roll = A·sin ψ, pitch = B·sin 4ψ (see the class comment). The
  // faster terms stay small enough (≤ 0.15 rad) not to spoil the poses the figure passes.
  const double psiOmega = 2.0 * kPi * random.uniform(1.0 / 16.0, 1.0 / 12.0) * intensity;
  const double psiPhase = random.uniform(0.0, 2.0 * kPi);
  angles_[0][0] = {random.uniform(2.55, 2.65), psiOmega, psiPhase};
  angles_[1][0] = {random.uniform(0.95, 1.05), 4.0 * psiOmega, 4.0 * psiPhase};
  angles_[0][1] = harmonic(0.05, 0.09, 0.25, 0.45);
  angles_[0][2] = harmonic(0.03, 0.06, 0.55, 0.80);
  angles_[1][1] = harmonic(0.04, 0.08, 0.25, 0.45);
  angles_[1][2] = harmonic(0.03, 0.06, 0.55, 0.80);
  // Yaw does not change where gravity points in the sensor frame, so it may roam freely and
  // carries most of the quick wrist turns that make the angular acceleration informative.
  angles_[2][0] = harmonic(0.8, 1.5, 0.03, 0.08);
  angles_[2][1] = harmonic(0.2, 0.4, 0.25, 0.45);
  angles_[2][2] = harmonic(0.2, 0.35, 0.55, 0.80);
  for (auto& axis : translation_) {
    axis[0] = harmonic(0.05, 0.15, 0.2, 0.5);
    // The faster sway is drawn by its acceleration amplitude (0.5–1.5 m/s² at intensity 1).
    axis[1] = harmonic(0.5, 1.5, 0.8, 1.5);
    axis[1].amplitude /= (axis[1].omega / intensity) * (axis[1].omega / intensity);
  }
}

void MotionProfile::buildStaticPoses(Random& random, double intensity) {
  // (roll, pitch) putting gravity along +z, −z, +x, −x, +y, −y of the sensor frame; the
  // accelerometer reads (−sin p, cos p·sin r, cos p·cos r)·g.
  const double zDownRoll = (random.uniform() < 0.5 ? -150.0 : 150.0) * kDeg;
  const std::array<std::pair<double, double>, 6> directions{{{0.0, 0.0},
                                                             {zDownRoll, 0.0},
                                                             {0.0, -70.0 * kDeg},
                                                             {0.0, 70.0 * kDeg},
                                                             {90.0 * kDeg, 0.0},
                                                             {-90.0 * kDeg, 0.0}}};
  for (int round = 0; round < 2; ++round) {
    std::array<std::size_t, 6> order{0, 1, 2, 3, 4, 5};
    // Fisher–Yates with our own draws (std::shuffle is not the same everywhere). The first
    // round keeps z up in front so that the stream starts level.
    const std::size_t lowest = round == 0 ? 1 : 0;
    for (std::size_t i = 5; i > lowest; --i) {
      const double slots = static_cast<double>(i + 1 - lowest);
      const std::size_t j = lowest + static_cast<std::size_t>(random.uniform() * slots);
      std::swap(order[i], order[j]);
    }
    for (const std::size_t d : order) {
      Pose pose;
      const bool exactLevel = round == 0 && poses_.empty();
      const double jitter = exactLevel ? 0.0 : 10.0 * kDeg;
      pose.euler << directions[d].first + random.uniform(-jitter, jitter),
          directions[d].second + random.uniform(-jitter, jitter), random.uniform(-0.8, 0.8);
      pose.hold = random.uniform(1.0, 2.0);
      poses_.push_back(pose);
    }
  }
  const double peakRate = 0.8 * intensity;  // rad/s, largest Euler rate during a move
  double start = 0.0;
  for (std::size_t i = 0; i < poses_.size(); ++i) {
    Pose& pose = poses_[i];
    pose.delta = poses_[(i + 1) % poses_.size()].euler - pose.euler;
    // Roll and yaw turn the short way round (−150° to +90° is a 120° turn, not 240°); the
    // angles then end 2π away from the next pose's, which is the same attitude.
    pose.delta.x() = std::remainder(pose.delta.x(), 2.0 * kPi);
    pose.delta.z() = std::remainder(pose.delta.z(), 2.0 * kPi);
    // The quintic's peak rate is 1.875·Δ/T.
    pose.move = std::max(1.5, 1.875 * pose.delta.cwiseAbs().maxCoeff() / peakRate);
    pose.start = start;
    start += pose.hold + pose.move;
  }
  cycle_ = start;
}

void MotionProfile::handAngles(double t, Eigen::Vector3d& e, Eigen::Vector3d& de,
                               Eigen::Vector3d& dde) const {
  for (int axis = 0; axis < 3; ++axis) {
    e[axis] = de[axis] = dde[axis] = 0.0;
    for (const Harmonic& h : angles_[static_cast<std::size_t>(axis)]) {
      const double s = std::sin(h.omega * t + h.phase), c = std::cos(h.omega * t + h.phase);
      e[axis] += h.amplitude * s;
      de[axis] += h.amplitude * h.omega * c;
      dde[axis] -= h.amplitude * h.omega * h.omega * s;
    }
  }
}

std::size_t MotionProfile::findSegment(double t, double& local) const {
  double inCycle = std::fmod(t, cycle_);
  if (inCycle < 0.0) inCycle += cycle_;
  const auto after = std::upper_bound(poses_.begin(), poses_.end(), inCycle,
                                      [](double x, const Pose& p) { return x < p.start; });
  const std::size_t i = static_cast<std::size_t>(
      std::max<std::ptrdiff_t>(0, std::distance(poses_.begin(), after) - 1));
  local = inCycle - poses_[i].start;
  return i;
}

void MotionProfile::staticAngles(double t, Eigen::Vector3d& e, Eigen::Vector3d& de,
                                 Eigen::Vector3d& dde) const {
  double local = 0.0;
  const std::size_t i = findSegment(t, local);
  const Pose& pose = poses_[i];
  e = pose.euler;
  de.setZero();
  dde.setZero();
  if (local < pose.hold) return;
  const Eigen::Vector3d& delta = pose.delta;
  double s = 0.0, ds = 0.0, dds = 0.0;
  quintic(std::min(1.0, (local - pose.hold) / pose.move), s, ds, dds);
  e += delta * s;
  de = delta * (ds / pose.move);
  dde = delta * (dds / (pose.move * pose.move));
}

bool MotionProfile::turnAngle(double t, double& angle, double& rate, double& acceleration) const {
  const double move = turn_.moveTime, hold = turn_.hold;
  const double cycle = 2.0 * (hold + move);
  double local = std::fmod(t, cycle);
  if (local < 0.0) local += cycle;
  // Four phases: hold at 0, move out, hold at the far end, move back.
  const bool back = local >= hold + move;
  if (back) local -= hold + move;
  rate = acceleration = 0.0;
  if (local < hold) {
    angle = back ? turn_.angle : 0.0;
    return true;
  }
  double s = 0.0, ds = 0.0, dds = 0.0;
  quintic(std::min(1.0, (local - hold) / move), s, ds, dds);
  const double sign = back ? -1.0 : 1.0;
  angle = back ? turn_.angle * (1.0 - s) : turn_.angle * s;
  rate = sign * turn_.angle * ds / move;
  acceleration = sign * turn_.angle * dds / (move * move);
  return false;
}

bool MotionProfile::isHolding(double t) const {
  if (robotTurn_) {
    double angle = 0.0, rate = 0.0, acceleration = 0.0;
    return turnAngle(t, angle, rate, acceleration);
  }
  if (!staticPoses_) return false;
  double local = 0.0;
  const std::size_t i = findSegment(t, local);
  return local < poses_[i].hold;
}

Kinematics MotionProfile::at(double t) const {
  if (robotTurn_) {
    double angle = 0.0, rate = 0.0, acceleration = 0.0;
    turnAngle(t, angle, rate, acceleration);
    Kinematics k;
    k.orientation = Eigen::AngleAxisd(angle, Eigen::Vector3d::Unit(turn_.axis)).toRotationMatrix();
    // About a fixed axis the body rate is the angle rate along it; nothing couples in.
    k.angularVelocity.setZero();
    k.angularAcceleration.setZero();
    k.angularVelocity[turn_.axis] = rate;
    k.angularAcceleration[turn_.axis] = acceleration;
    // The origin turns about the pivot: p = c + R·(−c), so p̈ = (θ̈·[u]× + θ̇²·[u]×²)·R·(−c).
    const Eigen::Vector3d arm = k.orientation * (-turn_.pivot);
    const Eigen::Vector3d u = Eigen::Vector3d::Unit(turn_.axis);
    k.position = turn_.pivot + arm;
    k.acceleration = acceleration * u.cross(arm) + rate * rate * u.cross(u.cross(arm));
    return k;
  }
  Eigen::Vector3d e, de, dde;
  if (staticPoses_) {
    staticAngles(t, e, de, dde);
  } else {
    handAngles(t, e, de, dde);
  }
  Kinematics k;
  eulerKinematics(e, de, dde, k);
  k.position.setZero();
  k.acceleration.setZero();
  if (!staticPoses_) {
    for (int axis = 0; axis < 3; ++axis) {
      for (const Harmonic& h : translation_[static_cast<std::size_t>(axis)]) {
        const double s = std::sin(h.omega * t + h.phase);
        k.position[axis] += h.amplitude * s;
        k.acceleration[axis] -= h.amplitude * h.omega * h.omega * s;
      }
    }
  }
  return k;
}

}  // namespace zelto::sim
