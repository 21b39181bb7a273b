#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/SmcUserClient.h"

// A user client that answers every exchange with bytes from a fuzz input: one byte that says
// whether the call succeeds (even) or fails (odd), then as much of the reply as is left.
class ReplayingClient : public platform::SmcUserClient {
  public:
    ReplayingClient(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint32_t matchingService(const char*) override { return 1; }
    platform::KernReturn serviceOpen(std::uint32_t, std::uint32_t, std::uint32_t* c) override {
        *c = 1;
        return 0;
    }
    platform::KernReturn objectRelease(std::uint32_t) override { return 0; }
    platform::KernReturn serviceClose(std::uint32_t) override { return 0; }
    platform::KernReturn callStructMethod(std::uint32_t, std::uint32_t, const void*, std::size_t,
                                          void* output, std::size_t* outputSize) override {
        if (size_ == 0) {
            return platform::kKernFailure;
        }
        const bool succeeds = (*data_ & 1) == 0;
        ++data_;
        --size_;
        const std::size_t taken = size_ < *outputSize ? size_ : *outputSize;
        std::memcpy(output, data_, taken);
        data_ += taken;
        size_ -= taken;
        return succeeds ? 0 : platform::kKernFailure;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
};
