#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "LegacySMC.h"
#include "platform/SmcUserClient.h"

// A user client that records every call and the bytes of every exchange, and answers
// as the test tells it to.
class RecordingSmcUserClient : public platform::SmcUserClient {
  public:
    struct Exchange {
        std::uint32_t connection;
        std::uint32_t selector;
        std::vector<std::uint8_t> request;
        std::size_t outputSizeOnEntry;
    };

    // What the client answers.
    std::uint32_t service = 0x1234;
    platform::KernReturn openResult = platform::kKernSuccess;
    std::uint32_t openedConnection = 0x5678;
    platform::KernReturn callResult = platform::kKernSuccess;
    // Fills the reply of an exchange; leaves it untouched when empty. A non-zero result
    // fails the call.
    std::function<platform::KernReturn(const LegacySMCParamRecord& request,
                                       LegacySMCParamRecord& reply)>
        answer;

    // What the client was asked.
    std::vector<std::string> calls;
    std::vector<Exchange> exchanges;

    std::uint32_t matchingService(const char* serviceName) override {
        calls.push_back(std::string("matchingService ") + serviceName);
        return service;
    }
    platform::KernReturn serviceOpen(std::uint32_t serviceObject, std::uint32_t type,
                                     std::uint32_t* connection) override {
        calls.push_back("serviceOpen " + std::to_string(serviceObject) + " " +
                        std::to_string(type));
        *connection = openedConnection;
        return openResult;
    }
    platform::KernReturn objectRelease(std::uint32_t object) override {
        calls.push_back("objectRelease " + std::to_string(object));
        return platform::kKernSuccess;
    }
    platform::KernReturn callStructMethod(std::uint32_t connection, std::uint32_t selector,
                                          const void* input, std::size_t inputSize, void* output,
                                          std::size_t* outputSize) override {
        calls.push_back("callStructMethod");
        const auto* bytes = static_cast<const std::uint8_t*>(input);
        exchanges.push_back({connection, selector,
                             std::vector<std::uint8_t>(bytes, bytes + inputSize), *outputSize});
        if (answer && inputSize == sizeof(LegacySMCParamRecord) &&
            *outputSize == sizeof(LegacySMCParamRecord)) {
            LegacySMCParamRecord request;
            LegacySMCParamRecord reply;
            std::memcpy(&request, input, sizeof request);
            std::memcpy(&reply, output, sizeof reply);
            const platform::KernReturn answered = answer(request, reply);
            std::memcpy(output, &reply, sizeof reply);
            if (answered != platform::kKernSuccess) {
                return answered;
            }
        }
        return callResult;
    }
    platform::KernReturn serviceClose(std::uint32_t connection) override {
        calls.push_back("serviceClose " + std::to_string(connection));
        return platform::kKernSuccess;
    }
};

// The key of a record, as text.
inline std::string keyOf(const LegacySMCParamRecord& record) {
    const std::uint32_t code = record.keyCode;
    return {static_cast<char>(code >> 24), static_cast<char>(code >> 16),
            static_cast<char>(code >> 8), static_cast<char>(code)};
}

// An SMC whose keys hold the values the test gives; a key it does not hold fails its read.
// It notes every key read and every write.
class ScriptedSmcUserClient : public RecordingSmcUserClient {
  public:
    struct Write {
        std::string key;
        std::string type;
        std::vector<std::uint8_t> data;
        bool operator==(const Write& other) const {
            return key == other.key && type == other.type && data == other.data;
        }
    };

    std::map<std::string, std::vector<std::uint8_t>> values;
    // What a write is answered with; it is noted whatever the answer.
    platform::KernReturn writeAnswer = platform::kKernSuccess;
    std::vector<std::string> keysRead;
    std::vector<Write> writes;

    ScriptedSmcUserClient() {
        answer = [this](const LegacySMCParamRecord& request, LegacySMCParamRecord& reply) {
            const std::string key = keyOf(request);
            if (request.command == LegacySMC::kCommandWrite) {
                const auto length = std::min<std::size_t>(request.writeLength, 32);
                writes.push_back(
                    {key, std::string(reinterpret_cast<const char*>(request.typeCode), 4),
                     std::vector<std::uint8_t>(request.payload, request.payload + length)});
                return writeAnswer;
            }
            keysRead.push_back(key);
            const auto found = values.find(key);
            if (found == values.end()) {
                return platform::kKernFailure;
            }
            reply.replyLength = static_cast<std::uint32_t>(found->second.size());
            std::copy(found->second.begin(), found->second.end(), reply.payload);
            return platform::kKernSuccess;
        };
    }
};
