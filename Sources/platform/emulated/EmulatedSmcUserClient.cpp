// The emulated build: its SMC is the emulated device, so every control can be tried anywhere.

#include <memory>
#include "EmulatedSmcDevice.h"

namespace platform {

std::unique_ptr<SmcUserClient> makeSmcUserClient() {
    return std::make_unique<EmulatedSmcDevice>();
}

}  // namespace platform
