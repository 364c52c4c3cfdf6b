#pragma once

#include <Eigen/Core>

namespace zelto {

//! Prints the framed report of a converged run on standard output: 15 plain lines with the
//! solution (mass; centre of mass; Ixx, Ixy, Ixz, Iyy, Iyz, Izz; force and torque bias) and
//! the standard deviations, i.e. the square roots of the variances at the same indices.
//! Standard output's flags, precision, fill character and locale are left untouched.
void printEstimationReport(const Eigen::Matrix<double, 16, 1>& solution,
                           const Eigen::Matrix<double, 16, 1>& variances, double elapsedSeconds);

}  // namespace zelto
