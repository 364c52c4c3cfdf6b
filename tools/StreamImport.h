#pragma once

#include <array>
#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "CsvRecording.h"
#include "ImuDelay.h"

namespace zelto::tool {

//! A CSV stream as read: the header's column names and every row's numbers. Columns are only
//! checked when the import uses them, so a stream may carry others (a status text, joint angles).
struct StreamTable {
  std::string name;                         //!< the file, for messages
  std::vector<std::string> columns;         //!< header names, in the file's order
  std::vector<std::vector<double>> values;  //!< values[column][row]; NaN where not a number
  std::vector<std::size_t> lines;           //!< 1-based file line of each row
  //! Per column, the first field that is not a finite number (line 0: none), for the message.
  struct BadField {
    std::size_t line = 0;
    std::string text;
  };
  std::vector<BadField> firstBad;
};

//! Reads a stream: a header line naming the columns, then rows of comma-separated fields, as
//! many as the header has. Blank lines, CRLF line ends, a UTF-8 byte order mark and spaces around
//! fields are accepted. Throws ToolError naming the file and line for a missing header, a header
//! naming a column twice, a row of another length or a read error.
StreamTable readStreamTable(std::istream& in, const std::string& name);
//! The same from a file; also throws ToolError when it cannot be opened.
StreamTable readStreamTable(const std::string& path);

//! Maps a stream's axes onto the sensor frame: v_sensor = M·v_stream (M row-major), and for an
//! orientation R_sensor = R_stream·Mᵀ. It must be a rotation; the import refuses anything else.
struct AxisMapping {
  std::array<double, 9> matrix{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
  std::string text;  //!< as given, for messages; empty for a matrix

  //! From three signed axes, e.g. "-y,z,-x": sensor x = −stream y, sensor y = stream z, sensor
  //! z = −stream x. Throws ToolError for anything else.
  static AxisMapping parse(const std::string& text);
};

//! Seconds per unit of a time column: "s", "ms", "us" (or "µs"), "ns". Throws ToolError.
double timeUnitScale(const std::string& unit);

//! One CSV stream.
struct StreamSource {
  std::string path;        //!< the file; empty: the stream is not given
  std::string timeColumn;  //!< empty: "t", or else "time"
  double timeScale = 1.0;  //!< s per unit of the time column (see timeUnitScale)
  AxisMapping axes;        //!< ignored for the position, which is in the world frame
};

enum class AccelerationUnit { MetresPerSecondSquared, StandardGravity };

//! What to import and how to read it. Streams on one clock; each is interpolated to the wrench
//! stream's time stamps over the span all of them cover.
struct ImportOptions {
  StreamSource wrench;         //!< required: fx fy fz tx ty tz (N, N·m)
  StreamSource accelerometer;  //!< specific force, gravity included
  StreamSource gyro;           //!< angular velocity
  StreamSource imu;            //!< accelerometer and gyro columns in one file, one mapping
  //! The sensor frame's attitude in a z-up world frame (it maps sensor coordinates to world
  //! coordinates): a row-major rotation matrix or a unit quaternion (w, x, y, z; the columns in
  //! either order), whichever the header names. Gives the angular velocity without a gyro and the
  //! specific force without an accelerometer.
  StreamSource orientation;
  StreamSource position;  //!< of the sensor origin, world frame: its p̈ joins the specific force

  std::array<std::string, 6> wrenchColumns{"fx", "fy", "fz", "tx", "ty", "tz"};
  std::array<std::string, 3> accelerometerColumns{"ax", "ay", "az"};
  std::array<std::string, 3> gyroColumns{"wx", "wy", "wz"};
  std::array<std::string, 9> rotationColumns{"r11", "r12", "r13", "r21", "r22",
                                             "r23", "r31", "r32", "r33"};
  std::array<std::string, 4> quaternionColumns{"qw", "qx", "qy", "qz"};
  std::array<std::string, 3> positionColumns{"px", "py", "pz"};

  AccelerationUnit accelerometerUnit = AccelerationUnit::MetresPerSecondSquared;
  double gyroScale = 1.0;      //!< rad/s per unit (π/180 for °/s)
  double positionScale = 1.0;  //!< m per unit (0.001 for mm)
  double gravity = 9.81;       //!< m/s²: the unit g, and gravity along the world's −z

  //! s, given by hand (within ±30 ms, sign as in ImuDelay.h); unset: measured. The delayed
  //! clock is the IMU's (accelerometer, gyro, IMU file) when there is one, the robot's
  //! (orientation and position) sharing the wrench's; without an IMU it is the robot's.
  std::optional<double> delay;
  //! Half width of the least-squares quadratic whose second derivative is the position's p̈, s;
  //! at least 2.5 of the position's intervals are taken.
  double positionWindow = 0.05;
  //! Also measure the configuration's noise block (ImportResult::noise); refused with a message
  //! when a stream needed for it has too few rows.
  bool measureNoiseBlock = false;
};

//! The streams when they are already in memory (the path of each StreamSource is then unused).
struct StreamTables {
  std::optional<StreamTable> wrench, accelerometer, gyro, imu, orientation, position;
};

//! What the import found in one stream.
struct StreamReport {
  std::string role;      //!< "wrench", "accelerometer", "gyro", "IMU", "orientation", "position"
  std::string name;      //!< the file
  std::string form;      //!< e.g. "rotation matrix", "quaternion, w first"; empty for vectors
  std::size_t rows = 0;  //!< rows with a new time stamp
  std::size_t repeatedTimes = 0;  //!< rows left out: time within 1e-5 s of the previous row's
  double start = 0.0, end = 0.0;  //!< s, on the stream's own clock
  double medianRate = 0.0;        //!< Hz
  double jitter = 0.0;            //!< s, rms deviation of the intervals from the median, gaps out
  std::size_t irregularIntervals = 0;  //!< more than 10 % off the median
  std::size_t gaps = 0;                //!< intervals above 1.5 medians
  double longestInterval = 0.0;        //!< s
  double inUse = 0.0;                  //!< share of the stream's span inside the imported span
  //! White-noise variance of each channel at the stream's own rate (sensor frame and SI units;
  //! for an orientation the angle about each sensor axis, rad²), by the fourth difference of
  //! tools/NoiseEstimate; empty when the stream has fewer than kMinimumSamples rows.
  std::vector<std::string> channels;
  std::vector<double> variance;
  std::vector<bool> resampled;
};

//! The import's account, for standard error.
struct ImportReport {
  std::vector<StreamReport> streams;
  std::size_t rows = 0;                        //!< rows imported
  double start = 0.0, end = 0.0;               //!< s, the imported span on the wrench's clock
  double delay = 0.0;                          //!< s, applied
  std::string delayed;                         //!< the delayed clock: "IMU" or "robot"
  bool delayGiven = false;                     //!< by hand (else measured, or none when it
                                               //!< could not be: see the warnings)
  std::optional<DelayEstimate> measuredDelay;  //!< set when it was measured
  std::vector<std::string> derivations;        //!< how each derived channel was obtained
  std::vector<std::string> warnings;           //!< anything estimated from a weak basis

  //! Every line of the account, each ending in a line end.
  std::string text() const;
};

struct ImportResult {
  std::vector<RecordedSample> samples;  //!< the 13-column recording on the wrench's clock
  ImportReport report;
  //! With ImportOptions::measureNoiseBlock: force, torque, linear_acc, angular_vel, angular_acc,
  //! each x, y, z, measured at the streams' own rates (derived channels propagated, see
  //! derivations), and the "measurement_noise_covariance" value as the noise command writes it.
  std::optional<std::array<double, 15>> noise;
  std::string noiseBlock;
  //! Hz, with the noise block: the rate of the stream that linear_acc (angular_vel) is
  //! interpolated from, where it is slower than the wrench's and measured there; unset
  //! otherwise. noiseRateBlock is the "measurement_noise_sample_rate" value for them, empty when
  //! neither is set.
  std::optional<double> linearAccRate, angularVelRate;
  std::string noiseRateBlock;
};

//! Reads the streams named in the options and imports them. Throws ToolError with a message for
//! the user for every input it refuses: streams that do not overlap, time going backwards, a
//! missing or non-numeric column, an axis mapping that is not a rotation, an orientation that is
//! not one, a delay beyond ±30 ms given by hand, no way to the specific force or the angular
//! velocity.
ImportResult importStreams(const ImportOptions& options);
//! The same for streams already read.
ImportResult importTables(const StreamTables& tables, const ImportOptions& options);

}  // namespace zelto::tool
