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

}  // namespace zelto
