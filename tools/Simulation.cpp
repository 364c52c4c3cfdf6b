#include "Simulation.h"

#include <cstdio>
#include <iostream>

#include "ConsistencyReport.h"
#include "ToolError.h"

namespace zelto::tool {

namespace {

Eigen::Vector3d vector3(const std::array<double, 3>& v) { return {v[0], v[1], v[2]}; }

}  // namespace

sim::Payload demoPayload() {
  // Roughly a cylinder of 8 cm diameter and 12 cm length with a slightly lopsided finger set.
  return sim::Payload::fromCentroidal(
      1.2, Eigen::Vector3d(0.012, -0.008, 0.065), {1.9e-3, 4.0e-5, -6.0e-5, 2.1e-3, 2.5e-5, 9.5e-4},
      Eigen::Vector3d(0.8, -0.45, 1.3), Eigen::Vector3d(0.025, -0.04, 0.012));
}

sim::Payload payloadFromOptions(const SimulateOptions& o) {
  sim::Payload base = demoPayload();
  if (o.payloadFile) {
    const PayloadFileContents file = readPayloadFile(*o.payloadFile);
    base.mass = file.parameters.mass;
    base.com = vector3(file.parameters.com);
    base.inertia = file.parameters.inertia;
    if (file.bias) {
      const std::array<double, 6>& b = *file.bias;
      base.forceBias = Eigen::Vector3d(b[0], b[1], b[2]);
      base.torqueBias = Eigen::Vector3d(b[3], b[4], b[5]);
    } else {
      base.forceBias.setZero();
      base.torqueBias.setZero();
    }
  }
  const std::array<double, 6> centroidal = o.inertiaCom ? *o.inertiaCom : base.inertiaAboutCom();
  const double mass = o.mass ? *o.mass : base.mass;
  const Eigen::Vector3d com = o.com ? vector3(*o.com) : base.com;
  const Eigen::Vector3d forceBias = o.forceBias ? vector3(*o.forceBias) : base.forceBias;
  const Eigen::Vector3d torqueBias = o.torqueBias ? vector3(*o.torqueBias) : base.torqueBias;

  sim::Payload p;
  if (o.inertia) {
    p.mass = mass;
    p.com = com;
    p.inertia = *o.inertia;
    p.forceBias = forceBias;
    p.torqueBias = torqueBias;
  } else if (o.inertiaCom || o.mass || o.com) {
    p = sim::Payload::fromCentroidal(mass, com, centroidal, forceBias, torqueBias);
  } else {
    p = base;
    p.forceBias = forceBias;
    p.torqueBias = torqueBias;
  }
  return p;
}

sim::Options simulatorOptions(const SimulateOptions& o, const sim::Payload& payload) {
  sim::Options s;
  s.payload = payload;
  s.noise = sim::Noise{o.noise.force, o.noise.torque, o.noise.linearAcc, o.noise.angularVel};
  s.motion.rate = o.rate;
  for (const auto& [name, pace] : kMotions) {
    if (name == o.motion) s.motion.intensity = pace;
  }
  s.motion.staticPoses = o.motion == "static";
  if (o.intensity) s.motion.intensity = *o.intensity;
  s.dropProbability = o.dropProbability;
  s.repeatProbability = o.repeatProbability;
  s.seed = o.seed;
  return s;
}

std::vector<RecordedSample> simulateRecording(const sim::Options& options, double duration,
                                              double start) {
  sim::PayloadSimulator simulator(options);
  std::vector<RecordedSample> samples;
  samples.reserve(static_cast<std::size_t>(duration * options.motion.rate) + 2);
  while (true) {
    const sim::SimSample s = simulator.next();
    if (s.time > duration) break;
    RecordedSample r;
    r.time = start + s.time;
    r.values = s.values;
    samples.push_back(r);
  }
  return samples;
}

PayloadFileContents payloadFileContents(const sim::Payload& p) {
  PayloadFileContents c;
  c.parameters.mass = p.mass;
  c.parameters.com = {p.com.x(), p.com.y(), p.com.z()};
  c.parameters.inertia = p.inertia;
  c.bias = std::array<double, 6>{p.forceBias.x(),  p.forceBias.y(),  p.forceBias.z(),
                                 p.torqueBias.x(), p.torqueBias.y(), p.torqueBias.z()};
  c.dynamicCompensation = false;
  return c;
}

int runSimulate(const SimulateOptions& o) {
  const sim::Payload payload = payloadFromOptions(o);
  const PayloadFileContents contents = payloadFileContents(payload);
  const ConsistencyReport consistency = checkPhysicalConsistency(contents.parameters);
  if (!consistency.consistent) {
    std::cerr << "zelto-payload: warning: the simulated payload is not physically consistent: "
              << consistency.problems.front() << "\n";
  }
  sim::Options options;
  try {
    options = simulatorOptions(o, payload);
    sim::PayloadSimulator check(options);  // validates the settings
  } catch (const std::invalid_argument& e) {
    throw ToolError(e.what());
  }
  const std::vector<RecordedSample> samples = simulateRecording(options, o.duration, o.start);
  writeRecording(o.output, samples);
  if (o.truthFile) writePayloadFile(*o.truthFile, contents);

  char line[160];
  std::snprintf(line, sizeof line, "wrote %zu samples (%.3f s at %g Hz, %s motion, seed %llu) to ",
                samples.size(), samples.empty() ? 0.0 : samples.back().time - o.start, o.rate,
                o.motion.c_str(), static_cast<unsigned long long>(o.seed));
  std::cout << line << o.output << "\n";
  if (o.truthFile) std::cout << "true payload parameters written to " << *o.truthFile << "\n";
  return kExitOk;
}

}  // namespace zelto::tool
