#include "PayloadSimulator.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace zelto::sim {

namespace {

// Entries (Ixx, Ixy, Ixz, Iyy, Iyz, Izz) of m·(|c|²·I₃ − c·cᵀ): the inertia of a point mass m
// at c about the origin. Adding it moves a tensor from the centre of mass to the origin.
std::array<double, 6> pointMassInertia(double m, const Eigen::Vector3d& c) {
  const double x = c.x(), y = c.y(), z = c.z();
  return {m * (y * y + z * z), -m * x * y, -m * x * z,
          m * (x * x + z * z), -m * y * z, m * (x * x + y * y)};
}

void require(bool condition, const std::string& message) {
  if (!condition) throw std::invalid_argument("PayloadSimulator: " + message);
}

constexpr double kPi = 3.14159265358979323846;

// A uniformly distributed unit vector: an isotropic Gaussian, normalised.
Eigen::Vector3d randomDirection(Random& random) {
  Eigen::Vector3d v;
  do {
    v << random.gaussian(), random.gaussian(), random.gaussian();
  } while (v.squaredNorm() < 1e-12);
  return v.normalized();
}

}  // namespace

Eigen::Vector3d Disturbance::forceAt(double t) const {
  const double local = t - start;
  double scale = 0.0;
  if (shape == Shape::HalfSine) {
    if (local >= 0.0 && local <= duration && duration > 0.0) {
      scale = std::sin(kPi * local / duration);
    }
  } else if (local >= 0.0 && local < duration) {
    // A trapezoid; when 2·ramp exceeds the duration it becomes a triangle below full force.
    scale = ramp > 0.0 ? std::min({1.0, local / ramp, (duration - local) / ramp}) : 1.0;
  }
  return scale * force;
}

std::vector<Disturbance> randomTaps(std::uint64_t seed, int count, double from, double to) {
  Random random(seed, 4);
  std::vector<Disturbance> taps;
  for (int i = 0; i < count; ++i) {
    Disturbance tap;
    tap.shape = Disturbance::Shape::HalfSine;
    tap.start = random.uniform(from, to);
    tap.duration = random.uniform(0.005, 0.020);
    tap.force = random.uniform(20.0, 50.0) * randomDirection(random);
    // Uniform in the ball: the radius's cube is uniform.
    tap.point = 0.1 * std::cbrt(random.uniform()) * randomDirection(random);
    taps.push_back(tap);
  }
  return taps;
}

Disturbance contact(double start, double duration, const Eigen::Vector3d& force,
                    const Eigen::Vector3d& point, double ramp) {
  Disturbance d;
  d.start = start;
  d.duration = duration;
  d.ramp = ramp;
  d.force = force;
  d.point = point;
  return d;
}

Payload Payload::fromCentroidal(double mass, const Eigen::Vector3d& com,
                                const std::array<double, 6>& inertiaAboutCom,
                                const Eigen::Vector3d& forceBias,
                                const Eigen::Vector3d& torqueBias) {
  Payload p;
  p.mass = mass;
  p.com = com;
  const std::array<double, 6> shift = pointMassInertia(mass, com);
  for (std::size_t i = 0; i < 6; ++i) p.inertia[i] = inertiaAboutCom[i] + shift[i];
  p.forceBias = forceBias;
  p.torqueBias = torqueBias;
  return p;
}

std::array<double, 16> Payload::parameterVector() const {
  const Eigen::Vector3d h = mass * com;
  return {mass,          h.x(),          h.y(),          h.z(),
          inertia[0],    inertia[1],     inertia[2],     inertia[3],
          inertia[4],    inertia[5],     forceBias.x(),  forceBias.y(),
          forceBias.z(), torqueBias.x(), torqueBias.y(), torqueBias.z()};
}

std::array<double, 16> Payload::fileOrder() const {
  std::array<double, 16> v = parameterVector();
  for (int i = 0; i < 3; ++i) v[static_cast<std::size_t>(1 + i)] = com[i];
  return v;
}

std::array<double, 6> Payload::inertiaAboutCom() const {
  const std::array<double, 6> shift = pointMassInertia(mass, com);
  std::array<double, 6> centroidal{};
  for (std::size_t i = 0; i < 6; ++i) centroidal[i] = inertia[i] - shift[i];
  return centroidal;
}

Eigen::Matrix3d Payload::inertiaMatrix() const {
  Eigen::Matrix3d j;
  j << inertia[0], inertia[1], inertia[2],  //
      inertia[1], inertia[3], inertia[4],   //
      inertia[2], inertia[4], inertia[5];
  return j;
}

void payloadWrench(const Payload& p, const Eigen::Vector3d& a, const Eigen::Vector3d& omega,
                   const Eigen::Vector3d& alpha, Eigen::Vector3d& force, Eigen::Vector3d& torque) {
  const Eigen::Vector3d h = p.mass * p.com;
  const Eigen::Matrix3d j = p.inertiaMatrix();
  // The sensor carries the load: it reads the bias minus the force that gives the centre of
  // mass its specific force (a plus the Euler and centripetal terms of the lever arm c), and
  // minus the moment of that force and the rate of change of angular momentum about its origin.
  force = p.forceBias - p.mass * a - (alpha.cross(h) + omega.cross(omega.cross(h)));
  torque = p.torqueBias + a.cross(h) - (j * alpha + omega.cross(j * omega));
}

PayloadSimulator::PayloadSimulator(const Options& options)
    : options_(options),
      motion_(options.motion, options.seed),
      noise_(options.seed, 2),
      events_(options.seed, 3) {
  const Motion& m = options.motion;
  const Noise& n = options.noise;
  require(std::isfinite(m.rate) && m.rate > 0.0, "the sample rate must be positive");
  require(std::isfinite(m.intensity) && m.intensity > 0.0, "the intensity must be positive");
  require(n.force >= 0.0 && n.torque >= 0.0 && n.linearAcc >= 0.0 && n.angularVel >= 0.0,
          "noise variances must not be negative");
  require(options.dropProbability >= 0.0 && options.dropProbability < 1.0,
          "the drop probability must lie in [0, 1)");
  require(options.repeatProbability >= 0.0 && options.repeatProbability < 1.0,
          "the repeat probability must lie in [0, 1)");
  for (const Disturbance& d : options.disturbances) {
    require(std::isfinite(d.start) && std::isfinite(d.duration) && d.duration >= 0.0 &&
                std::isfinite(d.ramp) && d.ramp >= 0.0 && d.force.allFinite() &&
                d.point.allFinite(),
            "a disturbance needs a finite start, force and point and a non-negative duration "
            "and ramp");
  }
  noiseStd_ = {std::sqrt(n.force), std::sqrt(n.torque), std::sqrt(n.linearAcc),
               std::sqrt(n.angularVel)};
}

TrueState PayloadSimulator::stateAt(double t) const {
  const Kinematics k = motion_.at(t);
  TrueState s;
  s.time = t;
  // Specific force: what the accelerometer senses is the acceleration minus gravity, in the
  // sensor frame. At rest, z up: −(0, 0, −g) = (0, 0, +g).
  s.linearAcceleration =
      k.orientation.transpose() * (k.acceleration + Eigen::Vector3d(0.0, 0.0, kGravity));
  s.angularVelocity = k.angularVelocity;
  s.angularAcceleration = k.angularAcceleration;
  s.orientation = k.orientation;
  s.position = k.position;
  payloadWrench(options_.payload, s.linearAcceleration, s.angularVelocity, s.angularAcceleration,
                s.force, s.torque);
  s.externalForce.setZero();
  s.externalTorque.setZero();
  for (const Disturbance& d : options_.disturbances) {
    const Eigen::Vector3d f = d.forceAt(t);
    s.externalForce += f;
    s.externalTorque += d.point.cross(f);
  }
  return s;
}

SimSample PayloadSimulator::next() {
  if (hasPending_) {
    hasPending_ = false;
    return previous_;
  }
  if (hasPrevious_ && options_.repeatProbability > 0.0 &&
      events_.uniform() < options_.repeatProbability) {
    return previous_;
  }
  double t = 0.0;
  do {
    t = static_cast<double>(nextIndex_++) / options_.motion.rate;
  } while (options_.dropProbability > 0.0 && events_.uniform() < options_.dropProbability);

  SimSample& s = previous_;
  s.time = t;
  s.truth = stateAt(t);
  const std::array<const Eigen::Vector3d*, 4> channels{
      &s.truth.force, &s.truth.torque, &s.truth.linearAcceleration, &s.truth.angularVelocity};
  for (std::size_t c = 0; c < 4; ++c) {
    for (int i = 0; i < 3; ++i) {
      // Drawn even for a noise-free channel, so each channel's noise does not depend on the
      // variances of the others.
      s.values[3 * c + static_cast<std::size_t>(i)] =
          (*channels[c])[i] + noiseStd_[c] * noise_.gaussian();
    }
  }
  // Added after the noise, so that a stream without disturbances keeps its exact values.
  if (!options_.disturbances.empty()) {
    for (int i = 0; i < 3; ++i) {
      s.values[static_cast<std::size_t>(i)] += s.truth.externalForce[i];
      s.values[static_cast<std::size_t>(3 + i)] += s.truth.externalTorque[i];
    }
  }
  hasPrevious_ = true;
  return s;
}

std::vector<SimSample> PayloadSimulator::generate(double durationSeconds) {
  std::vector<SimSample> samples;
  const double expected =
      (durationSeconds + 1.0) * options_.motion.rate * (1.0 + options_.repeatProbability);
  if (expected > 0.0) samples.reserve(static_cast<std::size_t>(expected));
  while (true) {
    SimSample s = next();
    if (s.time > durationSeconds) {
      hasPending_ = true;  // previous_ holds it; the next call to next() hands it out
      break;
    }
    samples.push_back(s);
  }
  return samples;
}

PayloadSimulator::Columns PayloadSimulator::generateColumns(double durationSeconds) {
  Columns columns;
  for (const SimSample& s : generate(durationSeconds)) {
    columns.times.push_back(s.time);
    columns.values.push_back(s.values);
  }
  return columns;
}

}  // namespace zelto::sim
