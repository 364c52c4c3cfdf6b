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
  bool momentsNonNegative = false;           //!< principal moments about the centre of mass ≥ 0
  bool triangle = false;                     //!< λ_i + λ_j ≥ λ_k for the principal moments
  std::array<double, 6> inertiaAboutCom{};   //!< Ixx Ixy Ixz Iyy Iyz Izz about the centre of mass
  std::array<double, 3> principalMoments{};  //!< eigenvalues of that tensor, ascending
  std::vector<std::string> problems;         //!< one sentence per failed condition
  //! The values themselves fail, but other values of the inertia entries the motion did not
  //! identify pass: what the motion identified is consistent (and `consistent` true).
  bool consistentOverIdentified = false;
};

//! Relative slack (of the trace of the inertia about the sensor origin) granted to both
//! conditions on the principal moments. The payload parameter file keeps six significant
//! digits, so a flat body, whose largest principal moment equals the sum of the other two, or
//! a slender one, whose smallest moment is zero, can come out a few parts in a million on the
//! wrong side.
inline constexpr double kTriangleTolerance = 2e-5;

//! The estimator's own rule for a body that can exist (positive mass; principal moments about
//! the centre of mass that are not negative and satisfy the triangle inequalities), with the
//! slack of kTriangleTolerance, and a sentence for each condition that fails. The inertia
//! entries named in notIdentified ("Ixx" … "Izz") count only as far as what was identified
//! goes: parameters that fail pass when some values of those entries make a body that can exist
//! (consistentOverIdentified).
ConsistencyReport checkPhysicalConsistency(const InertialParameters& parameters,
                                           const std::vector<std::string>& notIdentified = {});

}  // namespace zelto::tool
