#include <gtest/gtest.h>

#include "InertiaIdentification.h"
#include "TestUtils.h"

namespace zelto {
namespace {

constexpr double kPrior = 0.01;  // the regularisation I/100 in every information

// Information that mass, first moment, bias, Ixx, Ixy and Ixz get from the motion (n each);
// Iyy, Iyz and Izz get only the noise the still channels put there (q each), which R counts.
TEST(InertiaIdentification, DirectionsOnlyNoiseReachesAreNamedAndTakeThePrior) {
  const double n = 1e4, q = 3.0;
  ParameterMatrix information = ParameterMatrix::Identity() * kPrior;
  for (int i : {0, 1, 2, 3, 4, 5, 6, 10, 11, 12, 13, 14, 15}) information(i, i) += n;
  for (int i : {7, 8, 9}) information(i, i) += q;
  InertiaMatrix noise = InertiaMatrix::Zero();
  noise.diagonal().tail<3>().setConstant(q);

  const InertiaIdentification id = identifyInertia(information, noise);
  ASSERT_TRUE(id.defined);
  EXPECT_EQ(id.unidentified, 3);
  EXPECT_EIGEN_NEAR(id.ratio.head<3>(), InertiaVector::Ones().head<3>(), 1e-12);
  EXPECT_NEAR(id.ratio(3), (kPrior + n) / kPrior, 1e-6);
  EXPECT_EQ(id.entryIdentified, (InertiaEntryFlags{true, true, true, false, false, false}));
  InertiaVector estimate, prior, expected;
  estimate << 1, 2, 3, 4, 5, 6;
  prior << 10, 20, 30, 40, 50, 60;
  expected << 1, 2, 3, 40, 50, 60;
  EXPECT_EIGEN_NEAR(id.withPriorAlongUnidentified(estimate, prior), expected, 1e-12);

  // A constant regressor: Ixx informed only in the sum with the force bias x, which nothing
  // else informs. With the bias unknown, Ixx keeps (p + 2n)/(p + n) of the prior's information.
  information.setIdentity();
  information *= kPrior;
  for (int i = 0; i < 16; ++i) information(i, i) += (i == 4 || i == 10) ? 0.0 : n;
  information(4, 4) += n;
  information(10, 10) += n;
  information(4, 10) = information(10, 4) = n;
  const InertiaIdentification constant = identifyInertia(information, InertiaMatrix::Zero());
  ASSERT_TRUE(constant.defined);
  EXPECT_EQ(constant.unidentified, 1);
  EXPECT_NEAR(constant.ratio(0), (kPrior + 2 * n) / (kPrior + n), 1e-9);
  EXPECT_EQ(constant.entryIdentified, (InertiaEntryFlags{false, true, true, true, true, true}));

  information(0, 0) = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(identifyInertia(information, noise).leavesUnidentified());
}

}  // namespace
}  // namespace zelto
