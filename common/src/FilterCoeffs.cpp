#include "FilterCoeffs.h"

#include <sstream>

#include "Log.h"

namespace zelto {

void FilterCoeffs::configure(const std::string& group, const std::string& key,
                             const std::string& kind, const std::string& channel,
                             bool isDifferentiation) {
  isDifferentiation_ = isDifferentiation;
  if (isDifferentiation) {
    // Least-squares slope over five equally spaced samples, newest first.
    coeffs_.resize(5);
    coeffs_ << 0.2, 0.1, 0.0, -0.1, -0.2;
  } else {
    coeffs_.resize(1);
    coeffs_ << 1.0;
  }
  numCoeffs_ = static_cast<std::uint32_t>(coeffs_.size());
  evenCount_ = numCoeffs_ % 2 == 0;
  if (isDifferentiation_ && numCoeffs_ < 2) {
    printLine("size: " + std::to_string(numCoeffs_));
    printLine("Differentiation filters need at least 2 coefficients: '" + group + key + kind +
              channel + "'. Shutting down.");
  }
}

StampedVector3 FilterCoeffs::apply(StampedHistory& history) const {
  const std::uint32_t s = static_cast<std::uint32_t>(history.size());
  const std::uint32_t n = numCoeffs_;
  if (s < n) {
    printLine("Not enough historic data stored for filtering of size " + std::to_string(n) +
              ", using unfiltered value.");
    return history.back();
  }
  Eigen::Vector3d acc = Eigen::Vector3d::Zero();
  for (std::uint32_t i = 0; i < n; ++i) {
    acc += coeffs_[i] * history.at(s - 1 - i).value;
  }
  if (isDifferentiation_) {
    // n >= 2 for a differentiation set, so n - 1 is never zero.
    const double dt = (history.back().time - history.at(s - n).time) / (n - 1);
    acc /= dt;
  }
  const std::uint32_t m = s - n / 2;
  const double time =
      evenCount_ ? 0.5 * (history.at(m).time + history.at(m - 1).time) : history.at(m - 1).time;
  return StampedVector3{time, acc};
}

}  // namespace zelto
