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

bool ZeltoPayloadEstimator::finishPayloadEstimation() { return impl_->finishPayloadEstimation(); }

ZeltoControlReturnCode ZeltoPayloadEstimator::update(double time, std::array<double, 12> sample) {
  return impl_->update(time, sample);
}

bool ZeltoPayloadEstimator::getEstimate(std::array<double, 16>& estimate,
                                        std::array<double, 16>& standardDeviation) const {
  return impl_->getEstimate(estimate, standardDeviation);
}

std::uint64_t ZeltoPayloadEstimator::getSampleCount() const { return impl_->getSampleCount(); }

double ZeltoPayloadEstimator::getRunTime() const { return impl_->getRunTime(); }

std::uint64_t ZeltoPayloadEstimator::getRejectedSampleCount() const {
  return impl_->getRejectedSampleCount();
}

std::uint64_t ZeltoPayloadEstimator::getContactEpisodeCount() const {
  return impl_->getContactEpisodeCount();
}

bool ZeltoPayloadEstimator::isContactDetected() const { return impl_->isContactDetected(); }

double ZeltoPayloadEstimator::getNoiseScale() const { return impl_->getNoiseScale(); }

}  // namespace zelto
