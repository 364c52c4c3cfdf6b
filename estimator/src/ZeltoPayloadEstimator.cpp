#include <zelto/ZeltoPayloadEstimator.h>

#include "ZeltoPayloadEstimatorImpl.h"

namespace zelto {

ZeltoPayloadEstimator::ZeltoPayloadEstimator(const std::string& configPath)
    : impl_(std::make_unique<ZeltoPayloadEstimatorImpl>(configPath)) {}

ZeltoPayloadEstimator::~ZeltoPayloadEstimator() = default;

bool ZeltoPayloadEstimator::isEstimationSuccessful() const {
  return impl_->isEstimationSuccessful();
}

bool ZeltoPayloadEstimator::isEstimatorRunning() const { return impl_->isEstimatorRunning(); }

bool ZeltoPayloadEstimator::startPayloadEstimation() { return impl_->startPayloadEstimation(); }

ZeltoControlReturnCode ZeltoPayloadEstimator::update(double time, std::array<double, 12> sample) {
  return impl_->update(time, sample);
}

}  // namespace zelto
