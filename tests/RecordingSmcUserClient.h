#pragma once

#include <cstring>
#include <functional>
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
    // Fills the reply of an exchange; leaves it untouched when empty.
    std::function<void(LegacySMCParamRecord&)> answer;

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
        if (answer && *outputSize == sizeof(LegacySMCParamRecord)) {
            LegacySMCParamRecord reply;
            std::memcpy(&reply, output, sizeof reply);
            answer(reply);
            std::memcpy(output, &reply, sizeof reply);
        }
        return callResult;
    }
    platform::KernReturn serviceClose(std::uint32_t connection) override {
        calls.push_back("serviceClose " + std::to_string(connection));
        return platform::kKernSuccess;
    }
};
