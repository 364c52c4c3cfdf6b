"""Payload estimation and compensation for a force-torque sensor with an IMU.

A sample is a time stamp (s) and twelve values in the sensor frame: force x, y, z (N),
torque x, y, z (N·m), linear acceleration x, y, z as the accelerometer measures it, gravity
included (m/s²), angular velocity x, y, z (rad/s).

The libraries print their console lines (coloured, tagged) straight to the process's standard
output (file descriptor 1), not through sys.stdout.
"""

import enum
import os
from typing import Dict, List, Literal, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

__version__: str

#: Names of the 16 values of an estimate, in order: mass (kg); centre of mass x, y, z (m);
#: inertia Ixx, Ixy, Ixz, Iyy, Iyz, Izz about the sensor origin (kg·m²); force bias x, y, z (N);
#: torque bias x, y, z (N·m); all in the sensor frame.
PARAMETER_NAMES: Tuple[str, ...]

_Path = Union[str, os.PathLike[str]]
_Sample = Union[Sequence[float], npt.ArrayLike]
_FloatArray = npt.NDArray[np.float64]

class ReturnCode(enum.IntEnum):
    """Answer of update() to one sample."""

    OK = 0
    """Accepted (compensator: the output holds the compensated wrench)."""
    PENDING = 1
    """Compensator only: a deferred tare waits, the output is zero."""
    ERROR = 5
    """Not processed; the library printed an ERROR line saying why."""

class Trace(NamedTuple):
    """The estimate along a recording, k points."""

    time: _FloatArray
    """(k,) s: time stamp of the last sample included."""
    samples: npt.NDArray[np.uint64]
    """(k,) samples the estimate had used."""
    estimate: _FloatArray
    """(k, 16) in the order of PARAMETER_NAMES."""
    sd: _FloatArray
    """(k, 16) standard deviations, same order and units."""

class EstimationResult(NamedTuple):
    estimate: _FloatArray
    """(16,) the estimate reached at the end, order of PARAMETER_NAMES."""
    sd: _FloatArray
    """(16,) its standard deviations (NaN while the covariance is not defined)."""
    converged: bool
    """The run converged (also for static compensation only, at the end of the recording) and
    the payload parameter file was written."""
    trace: Trace

class CompensationResult(NamedTuple):
    wrench: _FloatArray
    """(N, 6) force x, y, z (N), torque x, y, z (N·m), sensor frame; zeros where PENDING, NaN
    where ERROR."""
    codes: npt.NDArray[np.int32]
    """(N,) ReturnCode values."""

class Estimator:
    """Identifies the payload on the sensor.

    Mass, centre of mass and inertia about the sensor origin (sensor frame), and the
    force/torque bias, while the user moves the tool by hand. Construct with the path of the
    JSON estimator configuration (RuntimeError with the library's message when it cannot be
    read), call start(), then update() for every sample. On convergence the library writes the
    payload parameter file next to the configuration file and prints its report.

    The run limits min_time and max_time are measured on the host's steady clock from start(),
    not in sample time. Not thread-safe: use one object from one thread.
    """

    def __init__(self, config_path: _Path) -> None: ...
    def start(self) -> bool:
        """Start a run when none is in progress, stop the run in progress otherwise.

        Every call restarts the estimate from the configured prior. Returns True.
        """
    def finish(self) -> bool:
        """Tell the estimator that the motion is over: a run past min_time with a result
        (converged, or for static compensation with the inertia the motion left unidentified
        named) writes its file and ends, True; otherwise False and the run goes on."""
    def update(self, time: float, sample: _Sample) -> ReturnCode:
        """Feed one sample: time (s) and 12 values in the sensor frame.

        Returns ReturnCode.OK (also when no run is in progress) or ReturnCode.ERROR (the
        library printed why, e.g. a time stamp more than 10 µs before the newest one). Raises
        ValueError for a sample of the wrong size, non-numeric or non-finite values, and
        RuntimeError when the six IMU values are all exactly zero.
        """
    @property
    def running(self) -> bool:
        """True while a run is in progress."""
    @property
    def successful(self) -> bool:
        """True when no run is in progress and the last one ended with a result (converged,
        or for static compensation), its file written."""
    @property
    def estimate(self) -> _FloatArray:
        """Current estimate (16,), order of PARAMETER_NAMES (kg, m, kg·m², N, N·m; sensor
        frame). All NaN while the run has used no sample; after a run has ended its last
        estimate stays readable until the next start()."""
    @property
    def sd(self) -> _FloatArray:
        """Standard deviations of the estimate (16,), same order and units; NaN while the
        covariance is not defined yet."""
    @property
    def sample_count(self) -> int:
        """Samples the current (or last) run has fed to the estimate."""
    @property
    def run_time(self) -> float:
        """Seconds on the steady clock since the run started; the length of the last run once
        it has ended; 0 before the first."""

class Compensator:
    """Removes the payload's wrench.

    Gravity (static mode) or gravity and inertia (dynamic mode) of the payload described by a
    payload parameter file are removed from every measured wrench, so that only external
    contact forces remain. Construct with the file's path (RuntimeError with the library's
    message when it cannot be read). update() from one thread; tare() may be called from
    another.
    """

    def __init__(self, payload_path: _Path) -> None: ...
    def update(self, time: float, sample: _Sample) -> Tuple[ReturnCode, _FloatArray]:
        """Compensate one sample: time (s) and 12 values in the sensor frame.

        Returns (code, wrench), wrench (6,) force N and torque N·m in the sensor frame: OK the
        compensated wrench minus the tare bias; PENDING a deferred tare waits, zeros; ERROR the
        sample was refused (a repeated or backwards time stamp; the library printed why), NaN.
        Raises ValueError for a sample of the wrong size, non-numeric or non-finite values, and
        RuntimeError when the six IMU values are all exactly zero.
        """
    def tare(self) -> bool:
        """Zero the output: the tare bias becomes the mean compensated wrench of about the last
        second, or the tare is deferred until half a second of data is there (update() answers
        PENDING with zeros meanwhile). Returns True."""
    @property
    def payload_parameters(self) -> _FloatArray:
        """The payload compensated for (10,): mass kg, centre of mass x, y, z m, inertia Ixx,
        Ixy, Ixz, Iyy, Iyz, Izz about the sensor origin kg·m² (sensor frame)."""
    @property
    def dynamic(self) -> bool:
        """True when gravity and inertia are compensated, False for gravity only."""
    @property
    def tare_bias(self) -> _FloatArray:
        """Tare bias subtracted from every output (6,): force N, torque N·m; zeros before the
        first tare completes."""

def estimate(
    times: npt.ArrayLike,
    samples: npt.ArrayLike,
    config_path: _Path,
    *,
    speed: Union[float, Literal["max"], None] = None,
    trace_step: Optional[float] = 0.25,
) -> EstimationResult:
    """Estimate the payload from a whole recording.

    times (N,) s and samples (N, 12) in the sensor frame are replayed through an Estimator
    built from config_path, in C++ with the GIL released. Samples whose six IMU values are all
    zero are skipped.

    speed: None or 'max' replays as fast as possible; a number replays at that factor of real
    time. The run limits are steady-clock times, so the last sample is held back until min_time
    has passed: a fast replay still gets its convergence test (and takes at least min_time).
    trace_step: seconds of recording between trace points (None: no trace).

    Returns the estimate reached at the end, converged or not, and whether the run converged
    (the payload parameter file is then written next to the configuration). The replay stops
    at convergence or at max_time; at the end of the recording the estimator is told that the
    motion is over (Estimator.finish()), so that a result for static compensation counts.
    Raises ValueError for bad input, RuntimeError for the library's exceptions.
    """

class NoiseEstimate(NamedTuple):
    """Outcome of measure_noise()."""

    variance: _FloatArray
    """(12,) white-noise variance per channel in the sample order: N², N²·m², m²/s⁴, rad²/s²."""
    angular_acc_variance: _FloatArray
    """(3,) rad²/s⁴: variance of the angular acceleration the estimator derives."""
    median_rate: float
    """Hz: 1 / the median interval between distinct time stamps."""
    angular_acc_factor: float
    """1/s²: angular-acceleration variance per unit gyro variance at median_rate (567 at 1 kHz)."""
    samples: int
    """Rows used (rows repeating the previous time stamp left out)."""
    troubles: List[str]
    """One line per sign of trouble (repeats, held rows, jitter, gaps, clipping); empty if none."""
    measurement_noise_covariance: Dict[str, Dict[str, float]]
    """The configuration's "measurement_noise_covariance" block, three significant digits."""

def measure_noise(times: npt.ArrayLike, samples: npt.ArrayLike) -> NoiseEstimate:
    """Measure the sensor noise of a recording, as `zelto-payload noise` does.

    times (N,) s and samples (N, 12) in the sensor frame, still or moving, at least 100 rows
    with distinct time stamps at 80 Hz or more. Each channel's white-noise variance comes from
    the median absolute deviation of its fourth difference; the angular-acceleration variance
    is the gyro variance times the variance factor of the estimator's derivative at the median
    rate. Raises ValueError for bad input.
    """

class DelayEstimate(NamedTuple):
    """Outcome of measure_delay()."""

    delay: float
    """s; positive: the IMU's time stamps lag the wrench's (the IMU value stamped t describes
    the motion at t - delay)."""
    uncertainty: float
    """s, 1 sigma; the whole search range (0.03) when the motion does not tell the delay."""
    halves: Tuple[float, float]
    """s, the delays of the recording's first and second half alone."""
    flat: bool
    """The fit changes by less than its noise over the range: the motion does not tell it."""
    ambiguous: bool
    """Another minimum of the fit comes close to the best (a vibration of the structure?)."""
    at_edge: bool
    """The best fit lies at +-30 ms: the delay may lie beyond."""
    rows: int
    """Wrench samples fitted."""
    description: str
    """The delay in words, e.g. "delay +6.50 ms: the IMU's time stamps lag the wrench's (...)"."""
    warnings: List[str]
    """One line each: flat, not unique, at the edge, uncertain by more than 1 ms."""

class ImportResult(NamedTuple):
    """Outcome of import_streams()."""

    times: _FloatArray
    """(N,) s, the wrench's time stamps within the span every stream covers."""
    samples: _FloatArray
    """(N, 12) the recording's values, sensor frame, the IMU's shifted by the delay."""
    delay: float
    """s, the delay applied (sign as in DelayEstimate)."""
    delay_estimate: Optional[DelayEstimate]
    """The measurement, when imu_delay='auto' and it could be made."""
    report: str
    """The import's account: each stream's rate, jitter, gaps, noise; the delay; warnings."""
    measurement_noise_covariance: Optional[Dict[str, Dict[str, float]]]
    """With noise_block=True: the block measured at the streams' own rates, three digits."""
    measurement_noise_sample_rate: Optional[Dict[str, float]]
    """With noise_block=True: Hz, 'linear_acc' and/or 'angular_vel' where interpolated from a
    stream slower than the wrench (the configuration's "measurement_noise_sample_rate")."""

_Stream = Union[_Path, npt.ArrayLike, None]

def import_streams(
    wrench: _Stream,
    accel: _Stream = None,
    gyro: _Stream = None,
    imu: _Stream = None,
    orientation: _Stream = None,
    position: _Stream = None,
    *,
    time_unit: Literal["s", "ms", "us", "ns"] = "s",
    accel_unit: Literal["m/s2", "g"] = "m/s2",
    accel_axes: Optional[str] = None,
    gyro_axes: Optional[str] = None,
    imu_axes: Optional[str] = None,
    imu_delay: Union[Literal["auto"], float] = "auto",
    gravity: float = 9.81,
    noise_block: bool = False,
) -> ImportResult:
    """Join separate sensor streams into one recording, as `zelto-payload import` does.

    Each stream is a CSV path (a header naming its columns) or an array (N, k) in the default
    column order: wrench t,fx,fy,fz,tx,ty,tz; accel t,ax,ay,az; gyro t,wx,wy,wz; imu
    t,ax,ay,az,wx,wy,wz; orientation t,r11..r33 (row-major) or t,qw,qx,qy,qz; position
    t,px,py,pz. All on one clock. The wrench defines the sensor frame; an orientation maps
    sensor to world coordinates (z up, gravity along -z). Axes like '-y,z,-x': sensor x =
    -stream y, sensor y = stream z, sensor z = -stream x. imu_delay 'auto' measures the delay
    and applies it while resampling; seconds (within +-0.03) apply that one; positive when the
    IMU's time stamps lag the wrench's. Raises ValueError for bad input.
    """

def measure_delay(times: npt.ArrayLike, samples: npt.ArrayLike) -> DelayEstimate:
    """Measure the delay of a recording's IMU columns against its wrench columns.

    times (N,) s and samples (N, 12) on one clock, at least 100 rows with distinct time stamps.
    The payload model is fitted with the IMU values shifted by each candidate within +-30 ms,
    both sides low-passed alike; the delay is the shift of the least residual. Positive: the
    IMU's time stamps lag the wrench's. Raises ValueError for bad input.
    """

def compensate(
    times: npt.ArrayLike,
    samples: npt.ArrayLike,
    payload_path: _Path,
    *,
    mode: Optional[Literal["static", "dynamic"]] = None,
    tare_at: Optional[float] = None,
) -> CompensationResult:
    """Compensate a whole recording, in C++ with the GIL released.

    mode: None as the payload file says, 'static' (gravity) or 'dynamic' (gravity and inertia).
    tare_at: request a tare before the first sample at or after this time (s).

    Returns the compensated wrench (N, 6) and the return codes (N,). A sample whose six IMU
    values are all zero is not handed over and is answered ERROR.
    """
