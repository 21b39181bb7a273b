#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "../SmcKeyResponder.h"
#include "AppleSmcKeyData.h"

namespace platform {

// The AppleSMC user client of macOS as the program speaks to it. The kernel extension takes the
// 80-byte AppleSmcKeyData record, asks for a key's size and type before reading it, and keeps
// each value in the key's own type; this client turns every exchange of the program's 76-byte
// record into that protocol and answers in the program's encodings:
// - reads: fan speeds of type fpe2 (rpm × 4) or flt (a little-endian float) come back as plain
//   16-bit big-endian rpm, flt temperatures as unsigned 8.8 degrees, anything else as it is;
// - writes: a fan's target switches that fan to manual first (its F<i>Md key where it exists,
//   else its bit of the 16-bit "FS! " mask) and is written in the target key's own type;
//   "FS! " = 0 hands every fan back (F<i>Md = 0 for each fan, else "FS! " = 0); any other key is
//   written with its own size.
// It is portable: the kernel extension is reached through another user client.
class AppleSmcTranslator final : public SmcKeyResponder {
  public:
    explicit AppleSmcTranslator(std::unique_ptr<SmcUserClient> kext);

    std::uint32_t matchingService(const char* serviceName) override;
    KernReturn serviceOpen(std::uint32_t service, std::uint32_t type,
                           std::uint32_t* connection) override;
    KernReturn objectRelease(std::uint32_t object) override;
    KernReturn serviceClose(std::uint32_t connection) override;

    // Kernel-extension selector and record size.
    static constexpr std::uint32_t kSelector = 2;

  private:
    struct KeyInfo {
        std::uint32_t size;
        std::uint32_t type;
    };

    bool isOpenConnection(std::uint32_t connection) const override {
        return open_ && connection == connection_;
    }
    KernReturn readKey(const std::string& key, std::uint32_t& length,
                       std::uint8_t* payload) override;
    KernReturn writeKey(const std::string& key, std::uint32_t length,
                        const std::uint8_t* payload) override;

    // One exchange: kKernSuccess, the kernel extension's own failure, or kRefused for a reply
    // whose result byte reports one.
    KernReturn call(AppleSmcKeyData& request, AppleSmcKeyData& reply);
    std::optional<KeyInfo> keyInfo(const std::string& key);
    bool readValue(const std::string& key, const KeyInfo& info, std::uint8_t* bytes);
    KernReturn writeValue(const std::string& key, const KeyInfo& info, const std::uint8_t* bytes);
    KernReturn writeNumber(const std::string& key, std::uint32_t value);
    // Switches one fan to manual, or back to the SMC's own control.
    KernReturn setManual(int fan, bool manual);
    KernReturn handBackFans();

    std::unique_ptr<SmcUserClient> kext_;
    std::uint32_t connection_ = 0;
    bool open_ = false;
    // Each key's size and type, asked once.
    std::map<std::uint32_t, KeyInfo> keyInfos_;
};

}  // namespace platform
