#include "InertiaIdentification.h"

#include <Eigen/Cholesky>
#include <Eigen/Eigenvalues>

namespace zelto {
namespace {

constexpr int kInertia = 4;  // first inertia entry of θ
constexpr int kOthers = kNumParameters - 6;
constexpr double kRegularisation = 1.0 / 100.0;  // the information the initial P = 100·I holds

// θ index of the k-th parameter that is not an inertia entry: m, m·c, then the bias.
int otherIndex(int k) { return k < kInertia ? k : k + 6; }

}  // namespace

InertiaIdentification identifyInertia(const ParameterMatrix& information,
                                      const InertiaMatrix& noise) {
  InertiaIdentification result;
  if (!information.allFinite() || !noise.allFinite()) {
    return result;
  }
  // Information on the inertia when mass, first moment and bias are unknown as well: the Schur
  // complement S_II − S_Io·S_oo⁻¹·S_oI. A constant regressor (a still but turning axis) is
  // thus not taken for information on the inertia when the bias explains it as well.
  Eigen::Matrix<double, kOthers, kOthers> others;
  Eigen::Matrix<double, kOthers, 6> coupling;
  for (int i = 0; i < kOthers; ++i) {
    for (int j = 0; j < kOthers; ++j) {
      others(i, j) = information(otherIndex(i), otherIndex(j));
    }
    coupling.row(i) = information.block<1, 6>(otherIndex(i), kInertia);
  }
  const Eigen::LLT<Eigen::Matrix<double, kOthers, kOthers>> llt(others);
  if (llt.info() != Eigen::Success) {
    return result;
  }
  InertiaMatrix marginal = information.block<6, 6>(kInertia, kInertia);
  marginal.noalias() -= coupling.transpose() * llt.solve(coupling);
  marginal = 0.5 * (marginal + marginal.transpose());

  result.reference =
      InertiaMatrix::Identity() * kRegularisation + 0.5 * (noise + noise.transpose());
  const Eigen::GeneralizedSelfAdjointEigenSolver<InertiaMatrix> pencil(
      marginal, result.reference, Eigen::ComputeEigenvectors | Eigen::Ax_lBx);
  if (pencil.info() != Eigen::Success || !pencil.eigenvalues().allFinite()) {
    return result;
  }
  result.defined = true;
  result.ratio = pencil.eigenvalues();
  result.directions = pencil.eigenvectors();
  while (result.unidentified < 6 &&
         result.ratio(result.unidentified) < InertiaIdentification::kFactor) {
    ++result.unidentified;
  }
  // R⁻¹ = V·Vᵀ for R-normalised directions: row j of V splits the variance R gives entry j
  // over the directions.
  for (int j = 0; j < 6; ++j) {
    const double total = result.directions.row(j).squaredNorm();
    const double unknown = result.directions.row(j).head(result.unidentified).squaredNorm();
    result.entryIdentified[static_cast<std::size_t>(j)] =
        unknown < total / InertiaIdentification::kFactor;
  }
  return result;
}

InertiaVector InertiaIdentification::withPriorAlongUnidentified(const InertiaVector& estimate,
                                                                const InertiaVector& prior) const {
  if (!defined) {
    return estimate;
  }
  // Coordinates along R-orthonormal directions are vᵀ·R·x; moving along the unidentified ones
  // leaves those of the identified ones unchanged.
  InertiaVector result = estimate;
  const InertiaVector difference = reference * (prior - estimate);
  for (int i = 0; i < unidentified; ++i) {
    result += directions.col(i) * directions.col(i).dot(difference);
  }
  return result;
}

}  // namespace zelto
