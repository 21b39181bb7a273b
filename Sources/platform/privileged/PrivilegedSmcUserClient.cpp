#include "PrivilegedSmcUserClient.h"

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../SmcKeys.h"
#include "PrivilegedProtocol.h"
#include "PrivilegedSession.h"

namespace platform {

PrivilegedSmcUserClient::PrivilegedSmcUserClient(std::unique_ptr<SmcUserClient> direct,
                                                 PrivilegedSession& session, bool runsAsRoot)
    : direct_(std::move(direct)), session_(session), runsAsRoot_(runsAsRoot) {}

std::uint32_t PrivilegedSmcUserClient::matchingService(const char* serviceName) {
    return direct_->matchingService(serviceName);
}

KernReturn PrivilegedSmcUserClient::serviceOpen(std::uint32_t service, std::uint32_t type,
                                                std::uint32_t* connection) {
    return direct_->serviceOpen(service, type, connection);
}

KernReturn PrivilegedSmcUserClient::objectRelease(std::uint32_t object) {
    return direct_->objectRelease(object);
}

KernReturn PrivilegedSmcUserClient::callStructMethod(std::uint32_t connection,
                                                     std::uint32_t selector, const void* input,
                                                     std::size_t inputSize, void* output,
                                                     std::size_t* outputSize) {
    const KernReturn result =
        direct_->callStructMethod(connection, selector, input, inputSize, output, outputSize);
    if (result != kNotPrivileged || runsAsRoot_ || input == nullptr ||
        inputSize != sizeof(LegacySMCParamRecord)) {
        return result;
    }
    LegacySMCParamRecord request;
    std::memcpy(&request, input, sizeof request);
    if (request.command != smc::kCommandWrite || request.writeLength == 0 ||
        request.writeLength > sizeof request.payload) {
        return result;
    }
    const std::uint32_t code = request.keyCode;
    const std::string key = {static_cast<char>(code >> 24), static_cast<char>(code >> 16),
                             static_cast<char>(code >> 8), static_cast<char>(code)};
    const std::vector<std::uint8_t> data(request.payload, request.payload + request.writeLength);
    const auto answer = session_.ask(privileged::writeLine(key, data));
    if (!answer) {
        return kNotPrivileged;
    }
    return *answer == privileged::kOk ? kKernSuccess : kKernFailure;
}

KernReturn PrivilegedSmcUserClient::serviceClose(std::uint32_t connection) {
    return direct_->serviceClose(connection);
}

std::unique_ptr<SmcUserClient> makeSmcUserClient() {
    return std::make_unique<PrivilegedSmcUserClient>(makeDirectSmcUserClient(),
                                                     PrivilegedSession::shared(), ::geteuid() == 0);
}

}  // namespace platform
