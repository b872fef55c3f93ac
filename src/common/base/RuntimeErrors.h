#pragma once

// The runtime's arithmetic and conversion errors. Our own code raises
// EMathError and EConvertError; the standard library raises its own classes
// for the same failures, and the error boxes treat both alike:
// - math: EMathError, std::domain_error, std::range_error,
//   std::overflow_error, std::underflow_error;
// - conversion: EConvertError, std::invalid_argument, std::out_of_range
//   (what std::stoi, std::stod and friends throw).

#include <exception>

#include "common/base/KmException.h"

namespace km {

// A failed floating-point or integer calculation.
class EMathError : public Exception {
  public:
    using Exception::Exception;
    KM_EXCEPTION_CLASS_NAME(EMathError)
};

// A text that cannot be converted to the value asked for.
class EConvertError : public Exception {
  public:
    using Exception::Exception;
    KM_EXCEPTION_CLASS_NAME(EConvertError)
};

bool IsMathError(const std::exception& e);
bool IsConvertError(const std::exception& e);

}  // namespace km
