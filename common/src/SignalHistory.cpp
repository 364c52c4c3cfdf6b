#include "SignalHistory.h"

namespace zelto {

void ImuHistory::push(const ImuRecord& r) {
  linearAcceleration.push({r.time, r.linearAcceleration});
  angularVelocity.push({r.time, r.angularVelocity});
  angularAcceleration.push({r.time, r.angularAcceleration});
}

void ImuHistory::clear() {
  linearAcceleration.clear();
  angularVelocity.clear();
  angularAcceleration.clear();
}

void ImuHistory::prune() {
  linearAcceleration.prune();
  angularVelocity.prune();
  angularAcceleration.prune();
}

ImuRecord ImuHistory::front() const {
  const StampedVector3 a = linearAcceleration.front();
  return ImuRecord{a.time, a.value, angularVelocity.front().value,
                   angularAcceleration.front().value};
}

ImuRecord ImuHistory::back() const {
  const StampedVector3 a = linearAcceleration.back();
  return ImuRecord{a.time, a.value, angularVelocity.back().value,
                   angularAcceleration.back().value};
}

ImuRecord ImuHistory::sampleAt(double t) {
  const StampedVector3 a = linearAcceleration.sampleAt(t);
  const StampedVector3 w = angularVelocity.sampleAt(t);
  const StampedVector3 dw = angularAcceleration.sampleAt(t);
  return ImuRecord{a.time, a.value, w.value, dw.value};
}

void WrenchHistory::push(const WrenchRecord& r) {
  force.push({r.time, r.force});
  torque.push({r.time, r.torque});
}

void WrenchHistory::clear() {
  force.clear();
  torque.clear();
}

void WrenchHistory::prune() {
  force.prune();
  torque.prune();
}

WrenchRecord WrenchHistory::front() const {
  const StampedVector3 f = force.front();
  return WrenchRecord{f.time, f.value, torque.front().value};
}

WrenchRecord WrenchHistory::back() const {
  const StampedVector3 f = force.back();
  return WrenchRecord{f.time, f.value, torque.back().value};
}

WrenchRecord WrenchHistory::sampleAt(double t) {
  const StampedVector3 f = force.sampleAt(t);
  const StampedVector3 m = torque.sampleAt(t);
  return WrenchRecord{f.time, f.value, m.value};
}

bool canSyncImu(const StampedHistory& linAcc, const StampedHistory& angVel,
                const StampedHistory& angAcc) {
  const double newestLinAcc = linAcc.back().time;
  if (angAcc.back().time > newestLinAcc) {
    return angVel.front().time <= newestLinAcc;
  }
  return linAcc.front().time <= angAcc.back().time;
}

ImuRecord syncImu(StampedHistory& linAcc, StampedHistory& angVel, StampedHistory& angAcc) {
  const StampedVector3 newestLinAcc = linAcc.back();
  const StampedVector3 newestAngAcc = angAcc.back();
  if (newestAngAcc.time > newestLinAcc.time) {
    const double t = newestLinAcc.time;
    return ImuRecord{t, newestLinAcc.value, angVel.sampleAt(t).value, angAcc.sampleAt(t).value};
  }
  const double t = newestAngAcc.time;
  const StampedVector3 a = linAcc.sampleAt(t);
  return ImuRecord{a.time, a.value, angVel.sampleAt(t).value, newestAngAcc.value};
}

bool canSyncImuWrench(const ImuHistory& imu, const WrenchHistory& wrench) {
  const double a = imu.linearAcceleration.back().time;
  const double b = wrench.force.back().time;
  if (b > a) {
    return wrench.force.front().time <= a;
  }
  return imu.linearAcceleration.front().time <= b;
}

InertialSample syncImuWrench(ImuHistory& imu, WrenchHistory& wrench) {
  const double a = imu.linearAcceleration.back().time;
  const double b = wrench.force.back().time;
  ImuRecord imuPart;
  WrenchRecord wrenchPart;
  if (b > a) {
    imuPart = imu.back();
    wrenchPart = wrench.sampleAt(a);
  } else {
    imuPart = imu.sampleAt(b);
    wrenchPart = wrench.back();
  }
  return InertialSample{imuPart.time,
                        imuPart.linearAcceleration,
                        imuPart.angularVelocity,
                        imuPart.angularAcceleration,
                        wrenchPart.force,
                        wrenchPart.torque};
}

}  // namespace zelto
