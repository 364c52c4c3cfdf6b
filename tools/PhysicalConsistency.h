#pragma once

#include <array>
#include <string>
#include <vector>

namespace zelto::tool {

//! The ten inertial parameters as the payload parameter file holds them.
struct InertialParameters {
  double mass = 0.0;                //!< kg
  std::array<double, 3> com{};      //!< centre of mass, m, sensor frame
  std::array<double, 6> inertia{};  //!< Ixx Ixy Ixz Iyy Iyz Izz about the sensor origin, kg·m²
                                    //!< (entries of the symmetric inertia tensor)
};

//! Whether a rigid body with these parameters can exist.
struct ConsistencyReport {
  bool consistent = false;
  bool finite = false;                       //!< every value is a finite number
  bool massPositive = false;                 //!< m > 0
  bool positiveDefinite = false;             //!< inertia about the centre of mass has λ_min > 0
  bool triangle = false;                     //!< λ_i + λ_j ≥ λ_k for the principal moments
  std::array<double, 6> inertiaAboutCom{};   //!< Ixx Ixy Ixz Iyy Iyz Izz about the centre of mass
  std::array<double, 3> principalMoments{};  //!< eigenvalues of that tensor, ascending
  std::vector<std::string> problems;         //!< one sentence per failed condition
};

//! Relative slack (of the trace of the inertia about the sensor origin) granted to the triangle
//! inequality. The payload parameter file keeps six significant digits, so a flat body, whose
//! largest principal moment equals the sum of the other two, can come out a few parts in a
//! million on the wrong side.
inline constexpr double kTriangleTolerance = 2e-5;

//! A body is physically possible when its mass is positive and its inertia about its centre of
//! mass, J_c = J_o − m·(|c|²·I − c·cᵀ), is positive definite with principal moments that satisfy
//! the triangle inequalities (every mass element contributes r² − x² ≤ (r² − y²) + (r² − z²)).
ConsistencyReport checkPhysicalConsistency(const InertialParameters& parameters);

}  // namespace zelto::tool
