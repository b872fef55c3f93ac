#include "common/base/RuntimeErrors.h"

#include <stdexcept>

namespace km {

bool IsMathError(const std::exception& e) {
    return dynamic_cast<const EMathError*>(&e) != nullptr ||
           dynamic_cast<const std::domain_error*>(&e) != nullptr ||
           dynamic_cast<const std::range_error*>(&e) != nullptr ||
           dynamic_cast<const std::overflow_error*>(&e) != nullptr ||
           dynamic_cast<const std::underflow_error*>(&e) != nullptr;
}

bool IsConvertError(const std::exception& e) {
    return dynamic_cast<const EConvertError*>(&e) != nullptr ||
           dynamic_cast<const std::invalid_argument*>(&e) != nullptr ||
           dynamic_cast<const std::out_of_range*>(&e) != nullptr;
}

}  // namespace km
