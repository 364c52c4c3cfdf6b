#pragma once

#include <string>
#include <vector>

#include "CsvRecording.h"
#include "PayloadFile.h"
#include "PayloadSimulator.h"
#include "ToolOptions.h"

namespace zelto::tool {

//! The tool the demo identifies, and the default of `simulate`: a 1.2 kg gripper whose centre
//! of mass sits 6.5 cm out along the flange axis and slightly off it, with a realistic sensor
//! bias.
sim::Payload demoPayload();

//! The payload `simulate` is asked for: the payload file if one is given (else the demo tool),
//! then the options on top. --mass and --com keep the inertia about the centre of mass unless
//! an inertia is given as well.
sim::Payload payloadFromOptions(const SimulateOptions& options);

//! Simulator settings for a motion name (hand, slow, fast, static) and the other options.
sim::Options simulatorOptions(const SimulateOptions& options, const sim::Payload& payload);

//! Samples with times start + (0 … duration).
std::vector<RecordedSample> simulateRecording(const sim::Options& options, double duration,
                                              double start = 0.0);

//! The payload in the layout of the payload parameter file, bias included.
PayloadFileContents payloadFileContents(const sim::Payload& payload);

//! Runs the `simulate` command.
int runSimulate(const SimulateOptions& options);

}  // namespace zelto::tool
