#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <string>
#include <tuple>
#include <utility>

#include "DerivativeWindow.h"

namespace zelto {
namespace {

using Fit = DerivativeWindow::Fit;

// Against the plain dense fit: row 1 of the pseudo-inverse (pivoted QR) of the design matrix with
// rows (1, d, …, d^degree) of the offsets d = i·period: the precomputed weights (/ period) and
// the noise factor Σ wᵢ², for the reference and the wide fits at several rates.
TEST(DerivativeWindow, WeightsAndNoiseFactorsAgreeWithTheDenseFit) {
  for (const auto& [rate, fit] : {std::pair{1000.0, Fit{0.025, 3}}, std::pair{1000.0, Fit{0.05, 3}},
                                  std::pair{1000.0, Fit{0.1, 5}}, std::pair{100.0, Fit{0.05, 3}},
                                  std::pair{50.0, Fit{0.1, 5}}, std::pair{4000.0, Fit{0.1, 5}}}) {
    SCOPED_TRACE(std::to_string(rate) + " Hz, W " + std::to_string(fit.halfWidth));
    const double period = 1.0 / rate;
    const int half = DerivativeWindow::halfCount(period, fit.halfWidth);
    ASSERT_EQ(half, std::lround(fit.halfWidth * rate));
    const int n = 2 * half + 1;
    Eigen::MatrixXd x(n, fit.degree + 1);
    for (int i = -half; i <= half; ++i) {
      for (int j = 0; j <= fit.degree; ++j) x(i + half, j) = std::pow(i * period, j);
    }
    const Eigen::VectorXd dense =
        x.colPivHouseholderQr().solve(Eigen::MatrixXd::Identity(n, n)).row(1).transpose();
    Eigen::VectorXd grid(n);
    if (fit.degree == 5) {
      DerivativeWindow::gridWeights<5>(half, grid.data());
    } else {
      DerivativeWindow::gridWeights<3>(half, grid.data());
    }
    EXPECT_LE((grid / period - dense).cwiseAbs().maxCoeff(), 1e-9 * dense.cwiseAbs().maxCoeff());
    EXPECT_NEAR(DerivativeWindow::noiseFactor(period, fit), dense.squaredNorm(),
                1e-9 * dense.squaredNorm());
  }
}

// The reference up to a gyro variance of 1e-5; above, the narrowest wider fit whose derivative
// is no noisier than the reference's at 1e-5, else the widest; never one the rate cannot fill.
TEST(DerivativeWindow, ChoosesTheNarrowestFitAsQuietAsTheReferenceAtAQuietGyro) {
  for (const auto& [rate, gyro, expected] :
       {std::tuple{1000.0, 1e-5, Fit{0.025, 3}}, std::tuple{1000.0, 7e-5, Fit{0.05, 3}},
        std::tuple{1000.0, 1e-4, Fit{0.1, 5}}, std::tuple{1000.0, 1e-3, Fit{0.1, 5}},
        std::tuple{100.0, 1e-4, Fit{0.05, 3}}, std::tuple{50.0, 1e-4, Fit{0.1, 5}},
        std::tuple{20.0, 1e-4, Fit{0.125, 3}}}) {
    const Fit chosen = DerivativeWindow::choose(1.0 / rate, gyro);
    EXPECT_EQ(chosen.halfWidth, expected.halfWidth) << rate << " Hz, gyro " << gyro;
    EXPECT_EQ(chosen.degree, expected.degree) << rate << " Hz, gyro " << gyro;
  }
}

}  // namespace
}  // namespace zelto
