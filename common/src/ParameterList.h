#pragma once

// The 16 values the estimator identifies, in the order of its read-out (getEstimate()) and of the
// payload parameter file: mass, centre of mass, inertia about the sensor origin (sensor frame),
// force bias, torque bias. Every place that names them, or gives their units, takes them from
// here: the estimator's report, the tool's tables and trace files, the Python module's
// PARAMETER_NAMES and the tests. Each of those has its own established spelling (a trace column
// is "Fx", the report's symbol for the torque bias about x is "Mx", Python says "fx_bias"); they
// stand side by side below so that no two of them can drift apart in order.

#include <array>
#include <cstddef>

namespace zelto {

struct ParameterInfo {
  const char* name;        //!< column of the tool's trace files: "com_x", "Fx"
  const char* pythonName;  //!< the Python module's PARAMETER_NAMES: "com_x", "fx_bias"
  const char* label;       //!< the tool's tables, with the unit in ASCII: "bias Fx [N]"
  const char* symbol;      //!< the estimator's report: "cx", "Mx"
  const char* unit;        //!< the estimator's report (UTF-8): "kg*m²"
};

inline constexpr std::size_t kParameterCount = 16;

inline constexpr std::array<ParameterInfo, kParameterCount> kParameters{{
    {"mass", "mass", "mass [kg]", "mass", "kg"},
    {"com_x", "com_x", "com x [m]", "cx", "m"},
    {"com_y", "com_y", "com y [m]", "cy", "m"},
    {"com_z", "com_z", "com z [m]", "cz", "m"},
    {"Ixx", "Ixx", "Ixx [kg*m^2]", "Ixx", "kg*m\xC2\xB2"},
    {"Ixy", "Ixy", "Ixy [kg*m^2]", "Ixy", "kg*m\xC2\xB2"},
    {"Ixz", "Ixz", "Ixz [kg*m^2]", "Ixz", "kg*m\xC2\xB2"},
    {"Iyy", "Iyy", "Iyy [kg*m^2]", "Iyy", "kg*m\xC2\xB2"},
    {"Iyz", "Iyz", "Iyz [kg*m^2]", "Iyz", "kg*m\xC2\xB2"},
    {"Izz", "Izz", "Izz [kg*m^2]", "Izz", "kg*m\xC2\xB2"},
    {"Fx", "fx_bias", "bias Fx [N]", "Fx", "N"},
    {"Fy", "fy_bias", "bias Fy [N]", "Fy", "N"},
    {"Fz", "fz_bias", "bias Fz [N]", "Fz", "N"},
    {"Tx", "tx_bias", "bias Tx [N*m]", "Mx", "N*m"},
    {"Ty", "ty_bias", "bias Ty [N*m]", "My", "N*m"},
    {"Tz", "tz_bias", "bias Tz [N*m]", "Mz", "N*m"},
}};

//! A quantity the parameters form: the run [first, end) of kParameters.
struct ParameterGroup {
  std::size_t first;
  std::size_t end;
};

inline constexpr ParameterGroup kMassParameters{0, 1};
inline constexpr ParameterGroup kComParameters{1, 4};
inline constexpr ParameterGroup kInertiaParameters{4, 10};
inline constexpr ParameterGroup kBiasParameters{10, 16};  //!< force, then torque

}  // namespace zelto
