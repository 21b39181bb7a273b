#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "SmcUserClient.h"

namespace platform {

// A user client that answers each exchange of the parameter record key by key, in the
// program's own encodings (plain 16-bit big-endian rpm, unsigned 8.8 degrees).
class SmcKeyResponder : public SmcUserClient {
  public:
    KernReturn callStructMethod(std::uint32_t connection, std::uint32_t selector, const void* input,
                                std::size_t inputSize, void* output, std::size_t* outputSize) final;

    // Answered for a key there is not, a request not taken, a value that cannot be read and a
    // write that is refused.
    static constexpr KernReturn kKeyNotFound = 0x84;
    static constexpr KernReturn kBadArgument = 0x85;
    static constexpr KernReturn kUnreadable = 0x86;
    static constexpr KernReturn kRefused = 0x87;

  protected:
    // Whether an exchange on this connection may be answered.
    virtual bool isOpenConnection(std::uint32_t connection) const = 0;
    // Answers a read with up to 32 bytes of the key's value and their count.
    virtual KernReturn readKey(const std::string& key, std::uint32_t& length,
                               std::uint8_t* payload) = 0;
    // Takes a write of `length` bytes (at most 32).
    virtual KernReturn writeKey(const std::string& key, std::uint32_t length,
                                const std::uint8_t* payload) = 0;

    // The fan index of a fan key such as "F0Ac" for the suffix "Ac", or -1.
    static int fanIndex(const std::string& key, const char* suffix);
    // Puts a value as 16 bits, high byte first.
    static void putUint16(std::uint32_t value, std::uint32_t& length, std::uint8_t* payload);
};

}  // namespace platform
