#include "StreamImport.h"

#include <Eigen/Dense>
#include <Eigen/Geometry>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <istream>
#include <limits>
#include <stdexcept>

#include "NoiseEstimate.h"
#include "ToolError.h"

namespace zelto::tool {

namespace {

using Vec3 = Eigen::Vector3d;
using Mat3 = Eigen::Matrix3d;
using Quat = Eigen::Quaterniond;

// Rows whose time stamp is within this of the previous row's are repeats (as in the libraries).
constexpr double kRepeatTolerance = 1e-5;
// The delays met on real IMUs are a few milliseconds; a structure's vibration repeats the fit's
// minimum every 25 ms, so the search and a delay given by hand stay within this.
constexpr double kDelayLimit = 0.030;
// An axis mapping is typed or computed: it must be a rotation to this.
constexpr double kMappingTolerance = 1e-6;
// An orientation read from a file is rounded: it may be this far from a rotation (or a unit
// quaternion), and is then made one.
constexpr double kOrientationTolerance = 1e-2;
// The imported span should cover most of the wrench stream; below this share, say so.
constexpr double kSpanWarning = 0.9;

std::string format(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

std::string seconds(double s) { return format("%.3f s", s); }

std::string joined(const std::vector<std::string>& names, std::size_t most) {
  std::string text;
  for (std::size_t i = 0; i < names.size() && i < most; ++i) text += (i ? ", " : "") + names[i];
  return names.size() > most ? text + ", ..." : text;
}

double median(std::vector<double> v) {
  const std::size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + mid, v.end());
  return v[mid];
}

Vec3 vec(const std::array<double, 3>& a) { return Vec3(a[0], a[1], a[2]); }
std::array<double, 3> array(const Vec3& v) { return {v.x(), v.y(), v.z()}; }

// ---- columns and time stamps ---------------------------------------------------------------

std::size_t findColumn(const StreamTable& table, const std::string& name) {
  const auto it = std::find(table.columns.begin(), table.columns.end(), name);
  return it == table.columns.end() ? std::string::npos
                                   : static_cast<std::size_t>(it - table.columns.begin());
}

const std::vector<double>& column(const StreamTable& table, const std::string& name,
                                  const std::string& role) {
  const std::size_t c = findColumn(table, name);
  if (c == std::string::npos) {
    throw ToolError(table.name + ": no column '" + name + "' for the " + role +
                    " (the header has: " + joined(table.columns, 16) + ")");
  }
  const StreamTable::BadField& bad = table.firstBad[c];
  if (bad.line != 0) {
    const std::string where = table.name + ":" + std::to_string(bad.line) + ": ";
    double value = 0.0;
    if (bad.text.empty()) throw ToolError(where + "empty value in column '" + name + "'");
    throw ToolError(where + "value " + quoted(bad.text) + " in column '" + name + "' is not a " +
                    (parseDouble(bad.text, value) ? "finite number" : "number"));
  }
  return table.values[c];
}

// A stream's rows with a new time stamp, in seconds on its own clock.
struct Timeline {
  std::vector<double> times;
  std::vector<std::size_t> rows;  // of the table
  std::size_t repeated = 0;
};

Timeline timeline(const StreamTable& table, const StreamSource& source, const std::string& role) {
  std::string name = source.timeColumn;
  if (name.empty()) {
    name = findColumn(table, "t") != std::string::npos ? "t" : "time";
    if (findColumn(table, name) == std::string::npos) {
      throw ToolError(table.name + ": no time column ('t' or 'time') for the " + role +
                      " (the header has: " + joined(table.columns, 16) + ")");
    }
  }
  const std::vector<double>& raw = column(table, name, role);
  Timeline line;
  for (std::size_t r = 0; r < raw.size(); ++r) {
    const double t = raw[r] * source.timeScale;
    if (!line.rows.empty()) {
      const std::size_t last = line.rows.back();
      const double step = t - line.times.back();
      if (step < -kRepeatTolerance) {
        throw ToolError(table.name + ":" + std::to_string(table.lines[r]) + ": time " +
                        formatDouble(raw[r]) + " is earlier than the previous row's " +
                        formatDouble(raw[last]) + " (time stamps must not go backwards)");
      }
      if (step <= kRepeatTolerance) {
        ++line.repeated;
        continue;
      }
    }
    line.times.push_back(t);
    line.rows.push_back(r);
  }
  if (line.times.size() < 2) {
    throw ToolError(table.name + ": the " + role +
                    " needs at least two rows with distinct time stamps");
  }
  return line;
}

// ---- frames ----------------------------------------------------------------------------------

Mat3 mapping(const AxisMapping& axes, const std::string& role) {
  Mat3 m;
  for (int i = 0; i < 9; ++i) m(i / 3, i % 3) = axes.matrix[static_cast<std::size_t>(i)];
  const bool orthonormal =
      m.allFinite() &&
      (m * m.transpose() - Mat3::Identity()).cwiseAbs().maxCoeff() <= kMappingTolerance;
  if (orthonormal && m.determinant() > 0.0) return m;
  std::string shown = "'" + axes.text + "'";
  if (axes.text.empty()) {
    shown = "[";
    for (int i = 0; i < 9; ++i) {
      shown += format("%g", m(i / 3, i % 3)) + (i == 8 ? "]" : i % 3 == 2 ? "; " : " ");
    }
  }
  throw ToolError(
      "the " + role + " axes " + shown + " are not a rotation (" +
      (orthonormal ? "determinant -1: a mirror image" : "its rows are not orthonormal") + ")");
}

// A track of attitudes (sensor to world) at their own time stamps, signs kept continuous.
struct AttitudeTrack {
  std::vector<double> times;
  std::vector<Quat> values;
};

Vec3 at(const VectorTrack& track, double t) {
  const std::vector<double>& times = track.times;
  const std::size_t i =
      static_cast<std::size_t>(std::upper_bound(times.begin(), times.end(), t) - times.begin());
  if (i == 0) return vec(track.values.front());
  if (i == times.size()) return vec(track.values.back());
  const double u = (t - times[i - 1]) / (times[i] - times[i - 1]);
  return (1.0 - u) * vec(track.values[i - 1]) + u * vec(track.values[i]);
}

Quat at(const AttitudeTrack& track, double t) {
  const std::vector<double>& times = track.times;
  const std::size_t i =
      static_cast<std::size_t>(std::upper_bound(times.begin(), times.end(), t) - times.begin());
  if (i == 0) return track.values.front();
  if (i == times.size()) return track.values.back();
  const double u = (t - times[i - 1]) / (times[i] - times[i - 1]);
  return track.values[i - 1].slerp(u, track.values[i]);
}

// The rotation vector of q (matrix logarithm), accurate for small angles too.
Vec3 rotationVector(Quat q) {
  if (q.w() < 0.0) q.coeffs() = -q.coeffs();
  const double s = q.vec().norm();
  if (s < 1e-12) return 2.0 * q.vec();
  return 2.0 * std::atan2(s, q.w()) / s * q.vec();
}

// ---- streams ---------------------------------------------------------------------------------

// One stream as the import uses it: its rows with a new time stamp and what it found in them.
struct Stream {
  Timeline line;
  StreamReport report;
};

Stream openStream(const StreamTable& table, const StreamSource& source, const std::string& role) {
  if (!(std::isfinite(source.timeScale) && source.timeScale > 0.0)) {
    throw ToolError("the " + role + "'s time scale must be a positive number of seconds");
  }
  Stream s;
  s.line = timeline(table, source, role);
  StreamReport& r = s.report;
  r.role = role;
  r.name = table.name;
  r.rows = s.line.times.size();
  r.repeatedTimes = s.line.repeated;
  r.start = s.line.times.front();
  r.end = s.line.times.back();
  std::vector<double> intervals(r.rows - 1);
  for (std::size_t k = 1; k < r.rows; ++k) intervals[k - 1] = s.line.times[k] - s.line.times[k - 1];
  const double typical = median(intervals);
  r.medianRate = 1.0 / typical;
  double squares = 0.0;
  std::size_t regular = 0;
  for (double h : intervals) {
    r.longestInterval = std::max(r.longestInterval, h);
    if (std::abs(h - typical) > 0.1 * typical) ++r.irregularIntervals;
    if (h > 1.5 * typical) {
      ++r.gaps;
    } else {
      squares += (h - typical) * (h - typical);
      ++regular;
    }
  }
  r.jitter = regular ? std::sqrt(squares / static_cast<double>(regular)) : 0.0;
  return s;
}

// The channels' noise at the stream's own rate, when it has rows enough.
void measureStreamNoise(StreamReport& report, const std::vector<std::string>& names,
                        const std::vector<std::vector<double>>& channels) {
  report.channels = names;
  if (report.rows < kMinimumSamples) return;
  for (const std::vector<double>& values : channels) {
    const ChannelNoise n = measureChannelNoise(values);
    report.variance.push_back(n.variance);
    report.resampled.push_back(n.resampled);
  }
}

VectorTrack vectorTrack(const StreamTable& table, const Stream& stream,
                        const std::array<std::string, 3>& names, const Mat3& m, double scale,
                        const std::string& role) {
  std::array<const std::vector<double>*, 3> columns{};
  for (std::size_t i = 0; i < 3; ++i) columns[i] = &column(table, names[i], role);
  VectorTrack track;
  track.times = stream.line.times;
  for (std::size_t r : stream.line.rows) {
    track.values.push_back(
        array(scale * m * Vec3((*columns[0])[r], (*columns[1])[r], (*columns[2])[r])));
  }
  return track;
}

std::vector<std::vector<double>> channelsOf(const VectorTrack& track) {
  std::vector<std::vector<double>> channels(3);
  for (const std::array<double, 3>& v : track.values) {
    for (std::size_t i = 0; i < 3; ++i) channels[i].push_back(v[i]);
  }
  return channels;
}

AttitudeTrack attitudeTrack(const StreamTable& table, Stream& stream, const ImportOptions& o,
                            const Mat3& m) {
  const bool matrix =
      std::all_of(o.rotationColumns.begin(), o.rotationColumns.end(),
                  [&](const std::string& n) { return findColumn(table, n) != std::string::npos; });
  const bool quaternion =
      std::all_of(o.quaternionColumns.begin(), o.quaternionColumns.end(),
                  [&](const std::string& n) { return findColumn(table, n) != std::string::npos; });
  if (!matrix && !quaternion) {
    throw ToolError(table.name + ": the orientation needs the columns " +
                    joined({o.rotationColumns.begin(), o.rotationColumns.end()}, 9) + " or " +
                    joined({o.quaternionColumns.begin(), o.quaternionColumns.end()}, 4) +
                    " (the header has: " + joined(table.columns, 16) + ")");
  }
  std::vector<const std::vector<double>*> columns;
  for (const std::string& n : o.rotationColumns) {
    if (matrix) columns.push_back(&column(table, n, "orientation"));
  }
  for (const std::string& n : o.quaternionColumns) {
    if (!matrix) columns.push_back(&column(table, n, "orientation"));
  }
  stream.report.form =
      matrix ? "rotation matrix"
      : findColumn(table, o.quaternionColumns[0]) < findColumn(table, o.quaternionColumns[1])
          ? "quaternion, w first"
          : "quaternion, w last";
  const Quat toStream(Mat3(m.transpose()));
  AttitudeTrack track;
  track.times = stream.line.times;
  for (std::size_t r : stream.line.rows) {
    const std::string where = table.name + ":" + std::to_string(table.lines[r]) + ": ";
    Quat q;
    if (matrix) {
      Mat3 rotation;
      for (int i = 0; i < 9; ++i)
        rotation(i / 3, i % 3) = (*columns[static_cast<std::size_t>(i)])[r];
      const double off = (rotation.transpose() * rotation - Mat3::Identity()).cwiseAbs().maxCoeff();
      if (off > kOrientationTolerance || rotation.determinant() <= 0.0) {
        throw ToolError(where + "the rotation matrix is not a rotation (" +
                        (off > kOrientationTolerance
                             ? "RᵀR differs from the identity by " + format("%.3g", off)
                             : "determinant " + format("%.3g", rotation.determinant())) +
                        ")");
      }
      // The nearest rotation: the rounding in the file is not the robot's.
      const Eigen::JacobiSVD<Mat3> svd(rotation, Eigen::ComputeFullU | Eigen::ComputeFullV);
      q = Quat(Mat3(svd.matrixU() * svd.matrixV().transpose()));
    } else {
      q = Quat((*columns[0])[r], (*columns[1])[r], (*columns[2])[r], (*columns[3])[r]);
      if (std::abs(q.norm() - 1.0) > kOrientationTolerance) {
        throw ToolError(where + "the quaternion's norm is " + format("%.4g", q.norm()) + ", not 1");
      }
      q.normalize();
    }
    q = q * toStream;
    if (!track.values.empty() && track.values.back().dot(q) < 0.0) q.coeffs() = -q.coeffs();
    track.values.push_back(q);
  }
  return track;
}

// The angular velocity between consecutive orientations at their midpoints, and the sum of the
// rotation vectors (the angle about each sensor axis), whose fourth difference reads the white
// noise of the orientation's angle.
void differentiate(const AttitudeTrack& attitude, VectorTrack& rate, VectorTrack& angle) {
  Vec3 sum = Vec3::Zero();
  angle.times = attitude.times;
  angle.values.push_back(array(sum));
  for (std::size_t k = 0; k + 1 < attitude.times.size(); ++k) {
    const Vec3 step = rotationVector(attitude.values[k].conjugate() * attitude.values[k + 1]);
    const double dt = attitude.times[k + 1] - attitude.times[k];
    rate.times.push_back(0.5 * (attitude.times[k] + attitude.times[k + 1]));
    rate.values.push_back(array(step / dt));
    sum += step;
    angle.values.push_back(array(sum));
  }
}

// ---- the import -------------------------------------------------------------------------------

double positiveScale(double value, const std::string& what) {
  if (!(std::isfinite(value) && value > 0.0)) {
    throw ToolError("the " + what + " must be a positive number");
  }
  return value;
}

// One quantity on the wrench's clock: where it comes from and the span it covers there.
struct Span {
  std::string what;
  double start = 0.0, end = 0.0;
};

// The import, one step after the other. The specific force comes from the accelerometer when
// there is one, else from the orientation (and the position); the angular velocity from the gyro
// when there is one, else from the orientation. The delayed clock is the IMU's when there is an
// IMU stream, else the robot's: a quantity from the orientation is then on the IMU's clock only
// when there is no IMU at all.
class Importer {
 public:
  Importer(const StreamTables& tables, const ImportOptions& options)
      : tables_(tables),
        o_(options),
        accTable_(tables.imu ? tables.imu : tables.accelerometer),
        gyroTable_(tables.imu ? tables.imu : tables.gyro),
        accRole_(tables.imu ? "IMU" : "accelerometer"),
        gyroRole_(tables.imu ? "IMU" : "gyro") {}

  ImportResult run() {
    checkOptions();
    readWrench();
    readImu();
    readRobot();
    findDelay();
    buildRecording();
    accountForStreams();
    explain();
    if (o_.measureNoiseBlock) measureNoiseBlock();
    return std::move(result_);
  }

 private:
  void checkOptions() {
    if (!tables_.wrench) throw ToolError("the wrench stream is required");
    gravity_ = positiveScale(o_.gravity, "gravity");
    positiveScale(o_.gyroScale, "gyro scale");
    positiveScale(o_.positionScale, "position scale");
    positiveScale(o_.positionWindow, "position window");
    if (o_.delay && !(std::abs(*o_.delay) <= kDelayLimit)) {
      throw ToolError("a delay given by hand must lie within ±30 ms, got " +
                      format("%+.2f ms", 1e3 * *o_.delay));
    }
    if (tables_.imu && (tables_.accelerometer || tables_.gyro)) {
      throw ToolError(
          "give the accelerometer and the gyro either in the IMU file or on their own, not both");
    }
    if (!accTable_ && !tables_.orientation) {
      throw ToolError("no specific force: give an accelerometer, an IMU or an orientation stream");
    }
    if (!gyroTable_ && !tables_.orientation) {
      throw ToolError("no angular velocity: give a gyro, an IMU or an orientation stream");
    }
    useOrientation_ = !accTable_ || !gyroTable_;
    usePosition_ = !accTable_ && tables_.position;
    const bool imu = accTable_ || gyroTable_;
    report().delayed = imu ? "IMU" : "robot";
    accDelayed_ = accTable_ || !imu;
    gyroDelayed_ = gyroTable_ || !imu;
    others_.reserve(4);  // pointers to its elements stay valid
  }

  void readWrench() {
    wrench_ = openStream(*tables_.wrench, o_.wrench, "wrench");
    const Mat3 m = mapping(o_.wrench.axes, "wrench");
    const std::array<std::string, 6>& c = o_.wrenchColumns;
    force_ = vectorTrack(*tables_.wrench, wrench_, {c[0], c[1], c[2]}, m, 1.0, "wrench");
    torque_ = vectorTrack(*tables_.wrench, wrench_, {c[3], c[4], c[5]}, m, 1.0, "wrench");
    std::vector<std::vector<double>> channels = channelsOf(force_);
    for (std::vector<double>& v : channelsOf(torque_)) channels.push_back(std::move(v));
    measureStreamNoise(wrench_.report, {"fx", "fy", "fz", "tx", "ty", "tz"}, channels);
  }

  void readImu() {
    if (accTable_) {
      const StreamSource& source = tables_.imu ? o_.imu : o_.accelerometer;
      Stream s = openStream(*accTable_, source, accRole_);
      const double scale =
          o_.accelerometerUnit == AccelerationUnit::StandardGravity ? gravity_ : 1.0;
      const Mat3 m = mapping(source.axes, accRole_);
      acc_ = vectorTrack(*accTable_, s, o_.accelerometerColumns, m, scale, accRole_);
      std::vector<std::string> names{"ax", "ay", "az"};
      std::vector<std::vector<double>> channels = channelsOf(acc_);
      if (tables_.imu) {
        gyro_ = vectorTrack(*accTable_, s, o_.gyroColumns, m, o_.gyroScale, accRole_);
        names.insert(names.end(), {"wx", "wy", "wz"});
        for (std::vector<double>& v : channelsOf(gyro_)) channels.push_back(std::move(v));
      }
      measureStreamNoise(s.report, names, channels);
      accStream_ = add(std::move(s));
      gyroStream_ = tables_.imu ? accStream_ : nullptr;
    }
    if (tables_.gyro) {
      Stream s = openStream(*tables_.gyro, o_.gyro, "gyro");
      gyro_ = vectorTrack(*tables_.gyro, s, o_.gyroColumns, mapping(o_.gyro.axes, "gyro"),
                          o_.gyroScale, "gyro");
      measureStreamNoise(s.report, {"wx", "wy", "wz"}, channelsOf(gyro_));
      gyroStream_ = add(std::move(s));
    }
  }

  void readRobot() {
    if (tables_.orientation) {
      Stream s = openStream(*tables_.orientation, o_.orientation, "orientation");
      attitude_ =
          attitudeTrack(*tables_.orientation, s, o_, mapping(o_.orientation.axes, "orientation"));
      VectorTrack angle;
      differentiate(attitude_, orientationRate_, angle);
      measureStreamNoise(s.report, {"angle x", "angle y", "angle z"}, channelsOf(angle));
      orientationStream_ = add(std::move(s));
    }
    if (tables_.position) {
      Stream s = openStream(*tables_.position, o_.position, "position");
      const VectorTrack position = vectorTrack(*tables_.position, s, o_.positionColumns,
                                               Mat3::Identity(), o_.positionScale, "position");
      positionHalfWidth_ = std::max(o_.positionWindow, 2.5 / s.report.medianRate);
      acceleration_ = localPolynomialDerivative(position, positionHalfWidth_, 2, 2);
      measureStreamNoise(s.report, {"px", "py", "pz"}, channelsOf(position));
      positionStream_ = add(std::move(s));
      if (usePosition_ && acceleration_.times.size() < 2) {
        throw ToolError(tables_.position->name +
                        ": too few rows for the position's second derivative (two on either "
                        "side within " +
                        format("%.3g ms", 1e3 * positionHalfWidth_) + ")");
      }
    }
    if (accTable_) return;
    // The specific force from the robot at the orientation's rows, for the delay search.
    for (std::size_t k = 0; k < attitude_.times.size(); ++k) {
      const double t = attitude_.times[k];
      if (usePosition_ && (t < acceleration_.times.front() || t > acceleration_.times.back())) {
        continue;
      }
      robotForce_.times.push_back(t);
      robotForce_.values.push_back(array(attitude_.values[k].conjugate() * (flange(t) + up())));
    }
  }

  void findDelay() {
    ImportReport& r = report();
    if (o_.delay) {
      r.delay = *o_.delay;
      r.delayGiven = true;
      return;
    }
    DelayInput in;
    in.wrenchTimes = wrench_.line.times;
    for (std::size_t i = 0; i < force_.values.size(); ++i) {
      const std::array<double, 3>& f = force_.values[i];
      const std::array<double, 3>& t = torque_.values[i];
      in.wrench.push_back({f[0], f[1], f[2], t[0], t[1], t[2]});
    }
    const std::vector<double>& variance = wrench_.report.variance;
    if (!variance.empty()) std::copy(variance.begin(), variance.end(), in.wrenchVariance.begin());
    in.specificForce = accTable_ ? acc_ : robotForce_;
    if (accTable_ && !accStream_->report.variance.empty()) {
      std::copy_n(accStream_->report.variance.begin(), 3, in.specificForceVariance.begin());
    }
    in.angularVelocity = gyroTable_ ? gyro_ : orientationRate_;
    in.specificForceDelayed = accDelayed_;
    in.angularVelocityDelayed = gyroDelayed_;
    try {
      r.measuredDelay = measureImuDelay(in);
      r.delay = r.measuredDelay->delay;
    } catch (const std::invalid_argument& error) {
      r.warnings.push_back("the delay could not be measured (" + std::string(error.what()) +
                           "): none applied");
    }
  }

  // The wrench's rows within the span every quantity covers on the wrench's clock, with the
  // inertial values interpolated there.
  void buildRecording() {
    const double accShift = accDelayed_ ? report().delay : 0.0;
    const double gyroShift = gyroDelayed_ ? report().delay : 0.0;
    const std::vector<double>& wrenchTimes = wrench_.line.times;
    std::vector<Span> spans{{"wrench", wrenchTimes.front(), wrenchTimes.back()}};
    const auto cover = [&](const std::string& what, const std::vector<double>& times,
                           double shift) {
      spans.push_back({what, times.front() - shift, times.back() - shift});
    };
    if (accTable_) {
      cover(accRole_, acc_.times, accShift);
    } else {
      cover(usePosition_ ? "orientation and position" : "orientation", robotForce_.times, accShift);
    }
    if (tables_.gyro) cover("gyro", gyro_.times, gyroShift);
    if (!gyroTable_) cover("orientation's angular velocity", orientationRate_.times, gyroShift);
    start_ = -std::numeric_limits<double>::infinity();
    end_ = std::numeric_limits<double>::infinity();
    for (const Span& s : spans) {
      start_ = std::max(start_, s.start);
      end_ = std::min(end_, s.end);
    }

    for (std::size_t i = 0; i < wrenchTimes.size(); ++i) {
      const double t = wrenchTimes[i];
      if (t < start_ || t > end_) continue;
      RecordedSample s;
      s.time = t;
      s.line = tables_.wrench->lines[wrench_.line.rows[i]];
      Vec3 a;
      if (accTable_) {
        a = at(acc_, t + accShift);
      } else {
        const Mat3 r = at(attitude_, t + accShift).toRotationMatrix();
        a = r.transpose() * (flange(t + accShift) + up());
        meanSquareRotation_ += r.cwiseAbs2();
      }
      meanSquareAcc_ += a.array().square();
      const Vec3 w = gyroTable_ ? at(gyro_, t + gyroShift) : at(orientationRate_, t + gyroShift);
      for (std::size_t c = 0; c < 3; ++c) {
        const Eigen::Index e = static_cast<Eigen::Index>(c);
        s.values[c] = force_.values[i][c];
        s.values[3 + c] = torque_.values[i][c];
        s.values[6 + c] = a[e];
        s.values[9 + c] = w[e];
      }
      result_.samples.push_back(s);
    }
    if (result_.samples.empty()) {
      std::string text = "the streams have no time in common (on the wrench's clock";
      if (report().delay != 0.0) text += ", the " + report().delayed + "'s shifted by the delay";
      text += "):";
      for (std::size_t i = 0; i < spans.size(); ++i) {
        text += (i ? ", " : " ") + spans[i].what + " " + format("%.3f", spans[i].start) + " to " +
                seconds(spans[i].end);
      }
      throw ToolError(text);
    }
    const double rows = static_cast<double>(result_.samples.size());
    meanSquareAcc_ /= rows;
    meanSquareRotation_ /= rows;
  }

  void accountForStreams() {
    ImportReport& r = report();
    r.rows = result_.samples.size();
    r.start = result_.samples.front().time;
    r.end = result_.samples.back().time;
    r.streams.push_back(wrench_.report);
    for (const Stream& s : others_) r.streams.push_back(s.report);
    for (StreamReport& s : r.streams) {
      const bool imu = s.role == "IMU" || s.role == "accelerometer" || s.role == "gyro";
      const bool robot = s.role == "orientation" || s.role == "position";
      const bool delayed = imu || (robot && r.delayed == "robot");
      const double shift = delayed ? r.delay : 0.0;
      const double used = std::min(end_, s.end - shift) - std::max(start_, s.start - shift);
      s.inUse = s.end > s.start ? std::max(0.0, used) / (s.end - s.start) : 0.0;
    }
  }

  // How each derived channel came about, and anything read from a weak basis.
  void explain() {
    ImportReport& r = report();
    const std::string imu = tables_.imu ? "IMU's " : "";
    if (accTable_) {
      r.derivations.push_back("specific force: the " + imu +
                              "accelerometer, linear between its rows to the wrench's time "
                              "stamps");
    } else {
      r.derivations.push_back(
          std::string("specific force: Rᵀ·(") + (usePosition_ ? "p̈ + " : "") + "(0, 0, " +
          format("%g", gravity_) +
          " m/s²)), R the orientation slerped to the wrench's time stamps" +
          (usePosition_ ? ", p̈ the second derivative of the least-squares quadratic through the "
                          "position's rows within ±" +
                              format("%.3g ms", 1e3 * positionHalfWidth_) +
                              ", linear between the position's rows"
                        : ""));
    }
    if (gyroTable_) {
      r.derivations.push_back("angular velocity: the " + imu +
                              "gyro, linear between its rows to the wrench's time stamps");
    } else {
      r.derivations.push_back(
          "angular velocity: the rotation between consecutive orientations (the logarithm of "
          "Rₖᵀ·Rₖ₊₁, sensor frame) over their interval, at the midpoint time, linear to the "
          "wrench's time stamps");
    }

    std::vector<std::string>& w = r.warnings;
    if (tables_.orientation && !useOrientation_) {
      w.push_back("the orientation is not used: the IMU measures both quantities");
    }
    if (tables_.position && !usePosition_) {
      w.push_back(accTable_ ? "the position is not used: the accelerometer measures the specific "
                              "force"
                            : "the position is not used: it needs an orientation");
    }
    if (!accTable_ && !usePosition_) {
      w.push_back(
          "the specific force comes from the orientation alone: the flange's own acceleration is "
          "left out, which biases the mass and the centre of mass (give a position stream)");
    }
    for (const StreamReport& s : r.streams) streamWarnings(s);
    const double wrenchSpan = wrench_.report.end - wrench_.report.start;
    if (r.end - r.start < kSpanWarning * wrenchSpan) {
      w.push_back("the streams have only " +
                  format("%.0f", 100.0 * (r.end - r.start) / wrenchSpan) +
                  " % of the wrench's span in common");
    }
    if (r.measuredDelay) {
      for (const std::string& line : r.measuredDelay->warnings) w.push_back("delay: " + line);
    }
  }

  void streamWarnings(const StreamReport& s) {
    std::vector<std::string>& w = report().warnings;
    if (s.medianRate > 1e5 || s.medianRate < 1.0) {
      w.push_back(s.role + ": a median rate of " + format("%.4g Hz", s.medianRate) +
                  ": is the unit of its time column right?");
    }
    if (s.gaps != 0) {
      w.push_back(s.role + ": " + std::to_string(s.gaps) + " gaps, the longest " +
                  format("%.4g ms", 1e3 * s.longestInterval) + ", are bridged by interpolation");
    }
    if (s.irregularIntervals > (s.rows - 1) / 100) {
      w.push_back(s.role + ": " + std::to_string(s.irregularIntervals) + " of " +
                  std::to_string(s.rows - 1) + " intervals are more than 10 % off the median");
    }
    if (s.variance.empty()) {
      w.push_back(s.role + ": " + std::to_string(s.rows) +
                  " rows are too few to measure its noise (at least " +
                  std::to_string(kMinimumSamples) + ")");
    }
    for (std::size_t c = 0; c < s.resampled.size(); ++c) {
      if (s.resampled[c]) w.push_back(resampledExplanation(s.role + " " + s.channels[c]));
    }
  }

  // The fifteen variances: measured ones at their streams' own rates, derived ones propagated.
  void measureNoiseBlock() {
    std::array<double, 15> noise{};
    const std::vector<double> wrench = variances(wrench_.report);
    std::copy(wrench.begin(), wrench.end(), noise.begin());
    if (accTable_) {
      const std::vector<double> v = variances(accStream_->report);
      std::copy(v.begin(), v.begin() + 3, noise.begin() + 6);
    } else {
      const Vec3 v = robotForceNoise();
      for (std::size_t i = 0; i < 3; ++i) noise[6 + i] = v[static_cast<Eigen::Index>(i)];
    }
    if (gyroTable_) {
      const std::vector<double> v = variances(gyroStream_->report);
      std::copy(v.end() - 3, v.end(), noise.begin() + 9);
    } else {
      const std::vector<double> angle = variances(orientationStream_->report);
      const double dt = 1.0 / orientationStream_->report.medianRate;
      for (std::size_t i = 0; i < 3; ++i) noise[9 + i] = 2.0 * angle[i] / (dt * dt);
      report().derivations.push_back(
          "noise of the angular velocity: var(ω) = 2·var(angle)/Δt², Δt = " +
          format("%.4g ms", 1e3 * dt) + " the orientation's interval");
    }
    const double rate = wrench_.report.medianRate;
    const double factor = noiseFactorOfAngularAcc(rate);
    if (!std::isfinite(factor)) {
      throw ToolError(
          "the noise block needs a wrench rate of at least 16 Hz for the angular acceleration's "
          "variance, got " +
          format("%.4g Hz", rate));
    }
    for (std::size_t i = 0; i < 3; ++i) noise[12 + i] = noise[9 + i] * factor;
    report().derivations.push_back(
        "noise of the angular acceleration: the angular velocity's × " + format("%.4g", factor) +
        " 1/s² (the estimator's derivative at the wrench's " + format("%.4g Hz)", rate));
    result_.noise = noise;
    result_.noiseBlock = noiseCovarianceBlock(noise, 0);
    noteNoiseRates(rate);
  }

  // A measured stream slower than the wrench is interpolated onto its clock: the rows' values
  // are correlated over the stream's step, so the estimator must know the rate at which the
  // variance holds. Derived channels are left at the wrench's: a difference of orientations or
  // a smoothed second derivative is not white at its stream's rate.
  void noteNoiseRates(double wrenchRate) {
    const auto slower = [&](const Stream* s) -> std::optional<double> {
      if (s == nullptr || !(s->report.medianRate < wrenchRate)) return std::nullopt;
      return std::stod(format("%.4g", s->report.medianRate));
    };
    if (accTable_) result_.linearAccRate = slower(accStream_);
    if (gyroTable_) result_.angularVelRate = slower(gyroStream_);
    std::string block;
    const auto member = [&](const char* name, const std::optional<double>& rate) {
      if (!rate) return;
      block +=
          std::string(block.empty() ? "{" : ", ") + "\"" + name + "\": " + format("%.4g", *rate);
      report().derivations.push_back(std::string(name) + ": its variance holds at " +
                                     format("%.4g Hz", *rate) +
                                     ", its stream's rate (\"measurement_noise_sample_rate\")");
    };
    member("linear_acc", result_.linearAccRate);
    member("angular_vel", result_.angularVelRate);
    if (!block.empty()) result_.noiseRateBlock = block + "}";
  }

  // δa = a × ε for an orientation off by the small rotation ε (sensor frame), plus the noise of
  // the position's p̈ turned into the sensor frame; means over the imported rows.
  Vec3 robotForceNoise() {
    const std::vector<double> angle = variances(orientationStream_->report);
    Vec3 flangeNoise = Vec3::Zero();
    if (usePosition_) {
      const std::vector<double> v = variances(positionStream_->report);
      const double rate = positionStream_->report.medianRate;
      const double factor = derivativeNoiseFactor(rate, positionHalfWidth_, 2, 2);
      flangeNoise = factor * Vec3(v[0], v[1], v[2]);
      report().derivations.push_back(
          "noise of p̈: the position's variance × " + format("%.4g", factor) +
          " 1/s⁴ (its quadratic's second derivative at " + format("%.4g Hz)", rate));
    }
    Vec3 noise = meanSquareRotation_.transpose() * flangeNoise;
    for (std::size_t i = 0; i < 3; ++i) {
      const std::size_t j = (i + 1) % 3, k = (i + 2) % 3;
      noise[static_cast<Eigen::Index>(i)] +=
          angle[j] * meanSquareAcc_[static_cast<Eigen::Index>(k)] +
          angle[k] * meanSquareAcc_[static_cast<Eigen::Index>(j)];
    }
    report().derivations.push_back(
        "noise of the specific force: var(a_x) = var(angle_y)·mean(a_z²) + "
        "var(angle_z)·mean(a_y²) (and so on for y, z) from the orientation" +
        std::string(usePosition_ ? ", plus the position's var(p̈) turned into the sensor frame"
                                 : ""));
    return noise;
  }

  std::vector<double> variances(const StreamReport& s) const {
    if (s.variance.empty()) {
      throw ToolError("the noise block needs the noise of the " + s.role + ", which has only " +
                      std::to_string(s.rows) + " rows (at least " +
                      std::to_string(kMinimumSamples) + ")");
    }
    return s.variance;
  }

  const Stream* add(Stream s) {
    others_.push_back(std::move(s));
    return &others_.back();
  }
  Vec3 up() const { return Vec3(0.0, 0.0, gravity_); }
  // The flange's acceleration p̈ at t (zero without a position stream).
  Vec3 flange(double t) const { return usePosition_ ? at(acceleration_, t) : Vec3::Zero(); }
  ImportReport& report() { return result_.report; }

  const StreamTables& tables_;
  const ImportOptions& o_;
  const std::optional<StreamTable>& accTable_;   // the accelerometer's, alone or in the IMU's
  const std::optional<StreamTable>& gyroTable_;  // the gyro's, alone or in the IMU's
  const std::string accRole_, gyroRole_;
  double gravity_ = 0.0;
  bool useOrientation_ = false, usePosition_ = false;
  bool accDelayed_ = false, gyroDelayed_ = false;

  Stream wrench_;
  std::vector<Stream> others_;  // in the order of the report
  const Stream* accStream_ = nullptr;
  const Stream* gyroStream_ = nullptr;
  const Stream* orientationStream_ = nullptr;
  const Stream* positionStream_ = nullptr;
  VectorTrack force_, torque_, acc_, gyro_;
  AttitudeTrack attitude_;
  VectorTrack orientationRate_;  // at the midpoints between orientations
  VectorTrack acceleration_;     // p̈ at the position's rows
  VectorTrack robotForce_;       // Rᵀ·(p̈ + g) at the orientation's rows
  double positionHalfWidth_ = 0.0;

  double start_ = 0.0, end_ = 0.0;  // the imported span
  Eigen::Array3d meanSquareAcc_ = Eigen::Array3d::Zero();
  Mat3 meanSquareRotation_ = Mat3::Zero();  // of each entry of R over the imported rows
  ImportResult result_;
};

}  // namespace

StreamTable readStreamTable(std::istream& in, const std::string& name) {
  StreamTable table;
  table.name = name;
  std::string line;
  std::vector<std::string> fields;
  std::size_t number = 0;
  bool header = false;
  while (std::getline(in, line)) {
    ++number;
    if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    splitFields(line, fields);
    const std::string where = name + ":" + std::to_string(number) + ": ";
    if (!header) {
      header = true;
      double ignored = 0.0;
      if (parseDouble(fields[0], ignored)) {
        throw ToolError(where + "expected a header line naming the columns, found " +
                        quoted(trim(line)));
      }
      for (std::size_t c = 0; c < fields.size(); ++c) {
        if (std::find(fields.begin(), fields.begin() + static_cast<std::ptrdiff_t>(c), fields[c]) !=
            fields.begin() + static_cast<std::ptrdiff_t>(c)) {
          throw ToolError(where + "the header names column " + quoted(fields[c]) + " twice");
        }
      }
      table.columns = fields;
      table.values.resize(fields.size());
      table.firstBad.resize(fields.size());
      continue;
    }
    if (fields.size() != table.columns.size()) {
      throw ToolError(where + "expected " + std::to_string(table.columns.size()) +
                      " values as in the header, found " + std::to_string(fields.size()));
    }
    for (std::size_t c = 0; c < fields.size(); ++c) {
      double value = 0.0;
      if (!parseDouble(fields[c], value) || !std::isfinite(value)) {
        value = std::numeric_limits<double>::quiet_NaN();
        if (table.firstBad[c].line == 0) table.firstBad[c] = {number, fields[c]};
      }
      table.values[c].push_back(value);
    }
    table.lines.push_back(number);
  }
  if (in.bad()) throw ToolError(name + ": read error");
  if (!header) throw ToolError(name + ": no header line (the file is empty)");
  return table;
}

StreamTable readStreamTable(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw ToolError("cannot open stream '" + path + "': " + std::strerror(errno));
  return readStreamTable(file, path);
}

AxisMapping AxisMapping::parse(const std::string& text) {
  std::vector<std::string> parts;
  splitFields(text, parts);
  AxisMapping axes;
  axes.text = text;
  axes.matrix.fill(0.0);
  bool valid = parts.size() == 3;
  for (std::size_t i = 0; valid && i < 3; ++i) {
    std::string p = parts[i];
    double sign = 1.0;
    if (!p.empty() && (p[0] == '-' || p[0] == '+')) {
      sign = p[0] == '-' ? -1.0 : 1.0;
      p.erase(0, 1);
    }
    const std::size_t axis = std::string("xyz").find(p.size() == 1 ? p[0] : '?');
    valid = axis != std::string::npos;
    if (valid) axes.matrix[3 * i + axis] = sign;
  }
  if (!valid) {
    throw ToolError("axis mapping " + quoted(text) +
                    ": expected three signed axes such as \"-y,z,-x\"");
  }
  return axes;
}

double timeUnitScale(const std::string& unit) {
  if (unit == "s") return 1.0;
  if (unit == "ms") return 1e-3;
  if (unit == "us" || unit == "\xC2\xB5s") return 1e-6;
  if (unit == "ns") return 1e-9;
  throw ToolError("unknown time unit " + quoted(unit) + " (s, ms, us or ns)");
}

ImportResult importStreams(const ImportOptions& options) {
  StreamTables tables;
  const auto read = [](const StreamSource& source, std::optional<StreamTable>& table) {
    if (!source.path.empty()) table = readStreamTable(source.path);
  };
  read(options.wrench, tables.wrench);
  read(options.accelerometer, tables.accelerometer);
  read(options.gyro, tables.gyro);
  read(options.imu, tables.imu);
  read(options.orientation, tables.orientation);
  read(options.position, tables.position);
  return importTables(tables, options);
}

ImportResult importTables(const StreamTables& tables, const ImportOptions& options) {
  return Importer(tables, options).run();
}

std::string ImportReport::text() const {
  std::string out = "import: " + std::to_string(rows) + " rows from " + seconds(start) + " to " +
                    seconds(end) + " on the wrench's clock\n";
  for (const StreamReport& r : streams) {
    out += "  " + r.role + ": " + r.name + (r.form.empty() ? "" : " (" + r.form + ")") + ", " +
           std::to_string(r.rows) + " rows at " + format("%.4g Hz", r.medianRate) + ", jitter " +
           format("%.3f ms", 1e3 * r.jitter) + ", " + std::to_string(r.gaps) + " gaps, " +
           format("%.3f", r.start) + " to " + seconds(r.end) + ", " +
           format("%.1f %%", 100.0 * r.inUse) + " in use";
    if (r.repeatedTimes != 0) {
      out += ", " + std::to_string(r.repeatedTimes) + " repeated time stamps left out";
    }
    out += "\n";
    if (!r.variance.empty()) {
      out += "    noise at its own rate (variance):";
      for (std::size_t c = 0; c < r.variance.size(); ++c) {
        out += (c ? ", " : " ") + r.channels[c] + " " + format("%.3g", r.variance[c]);
      }
      out += "\n";
    }
  }
  out += "  " + describeDelay(delay, delayed) + "\n";
  if (measuredDelay) {
    const DelayEstimate& e = *measuredDelay;
    out += "    measured by the payload model's fit over ±" +
           format("%.0f ms", 1e3 * e.shifts.back()) + ": ±" +
           format("%.2f ms", 1e3 * e.uncertainty) + "; residual at no delay " +
           format("%.3g N", e.forceRmsAtZero) + " and " + format("%.3g N·m", e.torqueRmsAtZero) +
           " rms, at the delay " + format("%.3g N", e.forceRmsAtDelay) + " and " +
           format("%.3g N·m", e.torqueRmsAtDelay) + "\n";
  } else {
    out += delayGiven ? "    given by hand\n" : "    not measured (see the warnings)\n";
  }
  for (const std::string& line : derivations) out += "  " + line + "\n";
  for (const std::string& line : warnings) out += "  warning: " + line + "\n";
  return out;
}

}  // namespace zelto::tool
