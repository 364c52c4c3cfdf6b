#include <zelto/ZeltoPayloadCompensator.h>

#include "ZeltoPayloadCompensatorImpl.h"

namespace zelto {

// A throwing Impl constructor leaves make_unique with nothing allocated, and the exception
// reaches the host unchanged.
ZeltoPayloadCompensator::ZeltoPayloadCompensator(const std::string& configPath)
    : impl_(std::make_unique<ZeltoPayloadCompensatorImpl>(configPath)) {}

ZeltoPayloadCompensator::~ZeltoPayloadCompensator() = default;

bool ZeltoPayloadCompensator::tareCompensatedWrench() { return impl_->tareCompensatedWrench(); }

ZeltoControlReturnCode ZeltoPayloadCompensator::update(double time,
                                                       const std::array<double, 12>& input,
                                                       std::array<double, 12>& output) {
  return impl_->update(time, input, output);
}

std::array<double, 10> ZeltoPayloadCompensator::getPayloadParameters() const {
  // Fixed at construction, so no lock is needed.
  const PayloadParameters& p = impl_->parameters();
  return {p.mass, p.comX, p.comY, p.comZ, p.ixx, p.ixy, p.ixz, p.iyy, p.iyz, p.izz};
}

bool ZeltoPayloadCompensator::isDynamicCompensation() const {
  return impl_->configuredMode() == CompensationMode::Dynamic;
}

std::array<double, 6> ZeltoPayloadCompensator::getTareBias() const {
  const Wrench6 bias = impl_->tareBias();  // taken under the bias mutex
  std::array<double, 6> out{};
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = bias[static_cast<Eigen::Index>(i)];
  return out;
}

}  // namespace zelto
