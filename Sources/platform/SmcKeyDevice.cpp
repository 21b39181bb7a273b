#include "SmcKeyDevice.h"

#include <cstdint>
#include <cstring>

namespace platform {

std::uint32_t SmcKeyDevice::matchingService(const char* serviceName) {
    if (std::strcmp(serviceName, "AppleSMC") != 0) {
        return 0;
    }
    found_ = found_ || findDevice();
    return found_ ? kService : 0;
}

KernReturn SmcKeyDevice::serviceOpen(std::uint32_t service, std::uint32_t,
                                     std::uint32_t* connection) {
    if (service != kService || !found_ || connection == nullptr) {
        return kBadArgument;
    }
    open_ = true;
    *connection = kConnection;
    return kKernSuccess;
}

KernReturn SmcKeyDevice::objectRelease(std::uint32_t) {
    return kKernSuccess;
}

KernReturn SmcKeyDevice::serviceClose(std::uint32_t connection) {
    if (!isOpenConnection(connection)) {
        return kBadArgument;
    }
    open_ = false;
    return kKernSuccess;
}

}  // namespace platform
