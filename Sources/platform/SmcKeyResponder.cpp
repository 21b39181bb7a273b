#include "SmcKeyResponder.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "SmcKeys.h"

namespace platform {

KernReturn SmcKeyResponder::callStructMethod(std::uint32_t connection, std::uint32_t selector,
                                             const void* input, std::size_t inputSize, void* output,
                                             std::size_t* outputSize) {
    if (!isOpenConnection(connection) || selector != smc::kSelector || input == nullptr ||
        inputSize != sizeof(LegacySMCParamRecord) || output == nullptr || outputSize == nullptr ||
        *outputSize < sizeof(LegacySMCParamRecord)) {
        return kBadArgument;
    }
    LegacySMCParamRecord request;
    std::memcpy(&request, input, sizeof request);
    const std::uint32_t code = request.keyCode;
    const std::string key = {static_cast<char>(code >> 24), static_cast<char>(code >> 16),
                             static_cast<char>(code >> 8), static_cast<char>(code)};

    LegacySMCParamRecord reply{};
    reply.keyCode = request.keyCode;
    KernReturn result = kBadArgument;
    if (request.command == smc::kCommandRead) {
        result = readKey(key, reply.replyLength, reply.payload);
    } else if (request.command == smc::kCommandWrite &&
               request.writeLength <= sizeof request.payload) {
        result = writeKey(key, request.writeLength, request.payload);
    }
    std::memcpy(output, &reply, sizeof reply);
    *outputSize = sizeof reply;
    return result;
}

int SmcKeyResponder::fanIndex(const std::string& key, const char* suffix) {
    if (key.size() != 4 || key[0] != 'F' || key[1] < '0' || key[1] > '9' ||
        key.compare(2, 2, suffix) != 0) {
        return -1;
    }
    return key[1] - '0';
}

void SmcKeyResponder::putUint16(std::uint32_t value, std::uint32_t& length, std::uint8_t* payload) {
    payload[0] = static_cast<std::uint8_t>(value >> 8);
    payload[1] = static_cast<std::uint8_t>(value & 0xFF);
    length = 2;
}

}  // namespace platform
