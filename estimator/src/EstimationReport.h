#pragma once

#include <Eigen/Core>

namespace zelto {

//! Prints the framed report of a converged run on standard output: 15 plain lines with the
//! solution (mass; centre of mass; Ixx, Ixy, Ixz, Iyy, Iyz, Izz; force and torque bias) and
//! the standard deviations, i.e. the square roots of the variances at the same indices.
//! The stream's flags, precision and fill character are restored afterwards.
void printEstimationReport(const Eigen::Matrix<double, 16, 1>& solution,
                           const Eigen::Matrix<double, 16, 1>& variances, double elapsedSeconds);

}  // namespace zelto
