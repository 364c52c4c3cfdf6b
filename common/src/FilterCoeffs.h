#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <string>

#include "StampedHistory.h"

namespace zelto {

//! Finite-impulse-response filter over the newest samples of a history: smoothing
//! (weighted sum) or differentiation (weighted sum divided by the mean sample spacing).
//! The coefficient sets are built in; coefficient i weights the i-th newest sample.
class FilterCoeffs {
 public:
  //! Loads the built-in set for the kind. The four labels only appear in diagnostics.
  void configure(const std::string& group, const std::string& key, const std::string& kind,
                 const std::string& channel, bool isDifferentiation);

  //! Number of newest history samples apply() reads.
  std::uint32_t getNumCoeffs() const { return numCoeffs_; }

  //! Filtered value stamped at the centre of the samples used. With fewer samples than
  //! coefficients prints a notice and returns the newest sample unchanged. The history must
  //! not be empty.
  StampedVector3 apply(StampedHistory& history) const;

 private:
  bool isDifferentiation_ = false;
  std::uint32_t numCoeffs_ = 1;
  bool evenCount_ = false;
  // At most five coefficients are built in; fixed storage keeps apply() allocation free.
  Eigen::Matrix<double, Eigen::Dynamic, 1, 0, 8, 1> coeffs_;
};

}  // namespace zelto
