#pragma once

// What the publisher refuses or cannot do, with a message for the vendor.

#include <stdexcept>

namespace qbpublish {

class EPublishError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace qbpublish
