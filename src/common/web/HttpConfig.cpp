#include "common/web/HttpConfig.h"

#include <utility>

namespace km {

THttpConfigArg::THttpConfigArg(THttpConfigArg&& other) noexcept
    : fCallerSlot(std::exchange(other.fCallerSlot, nullptr)),
      fHandedOver(std::move(other.fHandedOver)) {}

THttpConfigArg::~THttpConfigArg() {
    if (fCallerSlot != nullptr && *fCallerSlot && (*fCallerSlot)->FreeAfterUse) {
        fCallerSlot->reset();
    }
}

const THttpConfig* THttpConfigArg::Get() const noexcept {
    if (fCallerSlot != nullptr) {
        return fCallerSlot->get();
    }
    return fHandedOver.get();
}

}  // namespace km
