#include "ZeltoPayloadCompensatorImpl.h"

#include <cmath>
#include <cstdio>

#include "Log.h"

namespace zelto {
namespace {

// The version line comes first and a failing file must stop construction before the inertia
// compensator announces itself, so both happen while the first member is initialised.
PayloadParameters loadWithVersionLine(const std::string& configPath) {
  printVersion("ZeltoPayloadCompensator version: V");
  PayloadParameters parameters;
  loadPayloadParameters(parameters, configPath);
  return parameters;
}

// Built on the stack: a deferred tare completes inside update(), which must not allocate.
MessageText biasLine(const Wrench6& bias) {
  MessageText line;
  line << "Tare bias set to: [";
  for (int i = 0; i < 6; ++i) {
    if (i > 0) {
      line << ", ";
    }
    line.appendFixed(bias[i]);
  }
  line << "]";
  return line;
}

// What the configured delay costs the host: a late IMU delays the output by as much.
std::string delayLine(double delay) {
  char text[200];
  std::snprintf(text, sizeof text,
                delay > 0.0 ? "IMU delay %.2f ms: each wrench is paired with the IMU values of its "
                              "instant; the output lags the sensor by %.2f ms"
                            : "IMU delay %.2f ms: each wrench is paired with the IMU values of its "
                              "instant, held back %.2f ms; no added latency",
                1e3 * delay, 1e3 * std::abs(delay));
  return text;
}

}  // namespace

ZeltoPayloadCompensatorImpl::ZeltoPayloadCompensatorImpl(const std::string& configPath)
    : parameters_(loadWithVersionLine(configPath)), imuDelayLine_(parameters_.imuDelay) {
  const PayloadParameters& p = parameters_;
  InertialParameters phi;
  phi << p.mass, p.mass * p.comX, p.mass * p.comY, p.mass * p.comZ, p.ixx, p.ixy, p.ixz, p.iyy,
      p.iyz, p.izz;
  inertiaCompensator_.setParameters(phi);

  activeMode_ = CompensationMode::None;
  if (p.enableDynamicCompensation != 0.0) {
    configuredMode_ = CompensationMode::Dynamic;
    logInfo(
        "Compensator initialized to compensate for both gravity and inertia (static + dynamic "
        "compensation)");
  } else {
    configuredMode_ = CompensationMode::Static;
    logInfo("Compensator initialized to compensate only for gravity (static compensation)");
  }
  if (p.imuDelay != 0.0) logInfo(delayLine(p.imuDelay));
  logInfo("Zelto Payload Compensator has been initialized successfully");
}

ZeltoPayloadCompensatorImpl::~ZeltoPayloadCompensatorImpl() = default;

ZeltoControlReturnCode ZeltoPayloadCompensatorImpl::update(double time, const SensorArray& input,
                                                           SensorArray& output) {
  requireImuData(input);
  // A NaN, an infinity or an overflowing value would stay in the EMA state and in the tare
  // window for good.
  if (const char* message = refusedValuesMessage(time, input)) {
    logError(message);
    return Error;
  }
  // The histories interpolate on the assumption that time only moves forward.
  if (inertiaCompensator_.isBeforeNewestImu(time)) {
    logError(kBackwardsTimeMessage);
    return Error;
  }

  const SplitSample sample = splitSample(time, input);
  if (!inertiaCompensator_.processImu(sample.linearAcceleration, sample.angularVelocity)) {
    logError("Failed to process IMU data in compensator.");
    return Error;
  }
  if (!inertiaCompensator_.processWrench(sample.force, sample.torque)) {
    logError("Failed to process wrench in compensator.");
    return Error;
  }

  if (activeMode_ == CompensationMode::None) {
    activeMode_ = configuredMode_;
  }
  CompensatorInputs inputs = inertiaCompensator_.newestInputs();
  if (parameters_.imuDelay != 0.0) {
    imuDelayLine_.push(inputs);
    inputs = imuDelayLine_.paired();
  }
  const WrenchRecord compensated =
      inertiaCompensator_.compensate(inputs, activeMode_ == CompensationMode::Dynamic);
  Wrench6 w;
  w << compensated.force, compensated.torque;

  {
    std::lock_guard<std::mutex> lock(windowMutex_);
    wrenchWindow_.pushBack(time, w);
    wrenchWindow_.trimToLastSecond();
  }

  if (tarePending_.load()) {
    completeDeferredTare();
  }

  if (outputSuppressed_.load()) {
    output.fill(0.0);
    return Pending;
  }

  Wrench6 bias;
  {
    std::lock_guard<std::mutex> lock(biasMutex_);
    bias = tareBias_;
  }
  for (int j = 0; j < 6; ++j) {
    output[static_cast<std::size_t>(j)] = w[j] - bias[j];
  }
  return Ok;
}

// The tare lines are printed after windowMutex_ is released: update() takes it for every
// sample, and a slow or blocked standard output must not hold up the host's control loop.
bool ZeltoPayloadCompensatorImpl::tareCompensatedWrench() {
  logInfo("Tare requested \xE2\x80\x94 waiting for sufficient data window...");
  bool immediate = false;
  Wrench6 mean = Wrench6::Zero();
  {
    std::lock_guard<std::mutex> lock(windowMutex_);
    immediate = wrenchWindow_.isSufficientForTare();
    if (immediate) {
      mean = wrenchWindow_.mean();
      setTareBias(mean);
    } else {
      // Suppress the output before announcing the pending tare, so that update() never sees
      // a pending tare with the old output still flowing.
      outputSuppressed_.exchange(true);
      tarePending_.exchange(true);
    }
  }
  if (immediate) {
    logInfo(biasLine(mean).view());
    logInfo("Tare complete immediately (window already sufficient).");
  } else {
    logInfo("Tare deferred \xE2\x80\x94 outputting zeros until window is collected.");
  }
  return true;
}

void ZeltoPayloadCompensatorImpl::completeDeferredTare() {
  Wrench6 mean = Wrench6::Zero();
  {
    std::lock_guard<std::mutex> lock(windowMutex_);
    // The entry of the current update is the newest, so this is the window's own span.
    if (!wrenchWindow_.isSufficientForTare()) {
      return;
    }
    mean = wrenchWindow_.mean();
    setTareBias(mean);
    tarePending_.exchange(false);
    outputSuppressed_.exchange(false);
  }
  logInfo(biasLine(mean).view());
  logInfo("Deferred tare complete. Bias computed from window.");
}

void ZeltoPayloadCompensatorImpl::setTareBias(const Wrench6& bias) {
  std::lock_guard<std::mutex> lock(biasMutex_);
  tareBias_ = bias;
}

Wrench6 ZeltoPayloadCompensatorImpl::tareBias() const {
  std::lock_guard<std::mutex> lock(biasMutex_);
  return tareBias_;
}

WrenchWindow ZeltoPayloadCompensatorImpl::windowSnapshot() const {
  std::lock_guard<std::mutex> lock(windowMutex_);
  return wrenchWindow_;
}

}  // namespace zelto
