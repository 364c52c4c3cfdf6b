#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <string>

#include "InertiaIdentification.h"

namespace zelto {

//! Prints the framed report of a converged run on standard output: 15 plain lines with the
//! solution (mass; centre of mass; Ixx, Ixy, Ixz, Iyy, Iyz, Izz; force and torque bias) and
//! the standard deviations, i.e. the square roots of the variances at the same indices.
//! Standard output's flags, precision, fill character and locale are left untouched.
//! With rejectedShare (0..1) given, a line before the closing rule tells how many of the
//! run's samples the outlier gate and the contact flag left out, and the contact episodes.
//! When the motion left inertia entries unidentified (a result for static compensation), the
//! time line says so instead of "(CONVERGED)" and a line before the closing rule names them.
void printEstimationReport(const Eigen::Matrix<double, 16, 1>& solution,
                           const Eigen::Matrix<double, 16, 1>& variances, double elapsedSeconds,
                           double rejectedShare = -1.0, std::uint64_t contactEpisodes = 0,
                           const InertiaEntryFlags& inertiaIdentified = kAllInertiaIdentified);

//! "Ixx, Iyy, Iyz, Izz": the inertia entries the motion did not identify; empty when it
//! identified all.
std::string unidentifiedInertiaNames(const InertiaEntryFlags& inertiaIdentified);

}  // namespace zelto
