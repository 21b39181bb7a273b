#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "LegacySMC.h"
#include "platform/darwin/AppleSmcKeyData.h"
#include "platform/darwin/AppleSmcTranslator.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using platform::AppleSmcKeyData;
using platform::KernReturn;

constexpr std::uint32_t kService = 0xA11E;
constexpr std::uint32_t kConnection = 0xC0;

Bytes fpe2(int rpm) {
    return {std::uint8_t((rpm << 2) >> 8), std::uint8_t((rpm << 2) & 0xFF)};
}

Bytes flt(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return {std::uint8_t(bits), std::uint8_t(bits >> 8), std::uint8_t(bits >> 16),
            std::uint8_t(bits >> 24)};
}

// The AppleSMC kernel extension as a fake: keys with their type and bytes, answered through the
// 80-byte record. It notes every request and every write it takes.
class FakeAppleSmcKext : public platform::SmcUserClient {
  public:
    struct Key {
        std::string type;
        Bytes bytes;
    };
    std::map<std::string, Key> keys;
    bool refuseWrites = false;
    std::set<std::string> refusedKeys;
    // Keys whose reads the SMC answers with an error in the result byte.
    std::set<std::string> unreadableKeys;
    std::vector<Bytes> requests;
    std::vector<std::pair<std::string, Bytes>> writes;

    // An older Intel Mac: fan speeds in fpe2, manual fans as bits of "FS! ".
    static FakeAppleSmcKext fpe2Mac() {
        FakeAppleSmcKext mac;
        mac.keys = {{"FNum", {"ui8 ", {2}}},          {"F0Ac", {"fpe2", fpe2(2150)}},
                    {"F0Mn", {"fpe2", fpe2(1200)}},   {"F0Mx", {"fpe2", fpe2(6200)}},
                    {"F0Tg", {"fpe2", fpe2(1200)}},   {"F1Ac", {"fpe2", fpe2(1999)}},
                    {"F1Tg", {"fpe2", fpe2(1300)}},   {"FS! ", {"ui16", {0x00, 0x02}}},
                    {"TC0P", {"sp78", {0x30, 0x80}}}, {"BCLM", {"ui8 ", {100}}}};
        return mac;
    }
    // A newer Intel Mac: fan speeds as floats, a mode key per fan.
    static FakeAppleSmcKext floatMac() {
        FakeAppleSmcKext mac;
        mac.keys = {{"FNum", {"ui8 ", {2}}},          {"F0Ac", {"flt ", flt(2150.4f)}},
                    {"F0Mn", {"flt ", flt(1200.0f)}}, {"F0Mx", {"flt ", flt(5727.0f)}},
                    {"F0Tg", {"flt ", flt(1200.0f)}}, {"F0Md", {"ui8 ", {0}}},
                    {"F1Ac", {"flt ", flt(1900.0f)}}, {"F1Tg", {"flt ", flt(1300.0f)}},
                    {"F1Md", {"ui8 ", {1}}},          {"TC0P", {"flt ", flt(48.5f)}},
                    {"TC0D", {"flt ", flt(-3.0f)}}};
        return mac;
    }

    std::uint32_t matchingService(const char* name) override {
        return std::strcmp(name, "AppleSMC") == 0 ? kService : 0;
    }
    KernReturn serviceOpen(std::uint32_t service, std::uint32_t, std::uint32_t* c) override {
        *c = service == kService ? kConnection : 0;
        return service == kService ? 0 : 5;
    }
    KernReturn objectRelease(std::uint32_t) override { return 0; }
    KernReturn serviceClose(std::uint32_t) override { return 0; }

    KernReturn callStructMethod(std::uint32_t connection, std::uint32_t selector, const void* input,
                                std::size_t inputSize, void* output,
                                std::size_t* outputSize) override {
        if (connection != kConnection || selector != 2 || inputSize != 80 || *outputSize != 80) {
            return 5;
        }
        const auto* raw = static_cast<const std::uint8_t*>(input);
        requests.emplace_back(raw, raw + inputSize);
        AppleSmcKeyData in;
        std::memcpy(&in, input, sizeof in);
        AppleSmcKeyData out{};
        const std::string name = {char(in.key >> 24), char(in.key >> 16), char(in.key >> 8),
                                  char(in.key)};
        const auto found = keys.find(name);
        if (found == keys.end()) {
            out.result = AppleSmcKeyData::kResultKeyNotFound;
        } else if (in.data8 == AppleSmcKeyData::kCommandKeyInfo) {
            out.keyInfo.dataSize = static_cast<std::uint32_t>(found->second.bytes.size());
            out.keyInfo.dataType = LegacySMC::fourChar(found->second.type);
        } else if (in.keyInfo.dataSize != found->second.bytes.size()) {
            out.result = 0x85;  // the wrong size
        } else if (in.data8 == AppleSmcKeyData::kCommandReadKey && unreadableKeys.count(name)) {
            out.result = 0x86;  // the SMC could not read it
        } else if (in.data8 == AppleSmcKeyData::kCommandReadKey) {
            std::copy_n(found->second.bytes.begin(),
                        std::min<std::size_t>(found->second.bytes.size(), sizeof out.bytes),
                        out.bytes);
        } else if (in.data8 == AppleSmcKeyData::kCommandWriteKey) {
            if (refuseWrites || refusedKeys.count(name) != 0) {
                return static_cast<KernReturn>(0xE00002C1);  // not privileged
            }
            found->second.bytes.assign(in.bytes, in.bytes + in.keyInfo.dataSize);
            writes.emplace_back(name, found->second.bytes);
        } else {
            out.result = 0x85;
        }
        std::memcpy(output, &out, sizeof out);
        return 0;
    }
};

// Lends a fake kernel extension to the translator, so that the test keeps it.
class LentKext : public platform::SmcUserClient {
  public:
    explicit LentKext(FakeAppleSmcKext& kext) : kext_(kext) {}
    std::uint32_t matchingService(const char* n) override { return kext_.matchingService(n); }
    KernReturn serviceOpen(std::uint32_t s, std::uint32_t t, std::uint32_t* c) override {
        return kext_.serviceOpen(s, t, c);
    }
    KernReturn objectRelease(std::uint32_t o) override { return kext_.objectRelease(o); }
    KernReturn callStructMethod(std::uint32_t c, std::uint32_t s, const void* i, std::size_t is,
                                void* o, std::size_t* os) override {
        return kext_.callStructMethod(c, s, i, is, o, os);
    }
    KernReturn serviceClose(std::uint32_t c) override { return kext_.serviceClose(c); }

  private:
    FakeAppleSmcKext& kext_;
};

std::unique_ptr<LegacySMC> smcOver(FakeAppleSmcKext& kext) {
    return std::make_unique<LegacySMC>(
        std::make_unique<platform::AppleSmcTranslator>(std::make_unique<LentKext>(kext)));
}

// An 80-byte record with the given bytes set, everything else zero.
Bytes record80(std::initializer_list<std::pair<std::size_t, Bytes>> fields) {
    Bytes bytes(80, 0);
    for (const auto& [offset, value] : fields) {
        std::copy(value.begin(), value.end(), bytes.begin() + static_cast<long>(offset));
    }
    return bytes;
}

TEST(AppleSmcRecord, LaysOutEveryFieldAtItsOffset) {
    EXPECT_EQ(sizeof(AppleSmcKeyData), 80u);
    EXPECT_EQ(offsetof(AppleSmcKeyData, vers), 4u);
    EXPECT_EQ(offsetof(AppleSmcKeyData, vers.release), 8u);
    EXPECT_EQ(offsetof(AppleSmcKeyData, pLimitData), 12u);
    EXPECT_EQ(offsetof(AppleSmcKeyData, pLimitData.cpuPLimit), 16u);
    EXPECT_EQ(offsetof(AppleSmcKeyData, keyInfo), 28u);
    EXPECT_EQ(offsetof(AppleSmcKeyData, keyInfo.dataType), 32u);
    EXPECT_EQ(offsetof(AppleSmcKeyData, keyInfo.dataAttributes), 36u);
    EXPECT_EQ(offsetof(AppleSmcKeyData, result), 40u);
    EXPECT_EQ(offsetof(AppleSmcKeyData, status), 41u);
    EXPECT_EQ(offsetof(AppleSmcKeyData, data8), 42u);
    EXPECT_EQ(offsetof(AppleSmcKeyData, data32), 44u);
    EXPECT_EQ(offsetof(AppleSmcKeyData, bytes), 48u);
}

TEST(AppleSmcTranslator, AReadAsksTheKeyInfoOnceThenReadsWithItsSize) {
    FakeAppleSmcKext mac = FakeAppleSmcKext::fpe2Mac();
    auto smc = smcOver(mac);
    ASSERT_TRUE(smc->isAvailable());
    EXPECT_EQ(smc->rpm("F0Ac"), 2150);
    ASSERT_EQ(mac.requests.size(), 2u);
    // "F0Ac" is 0x46304163, stored in host order.
    EXPECT_EQ(mac.requests[0], record80({{0, {0x63, 0x41, 0x30, 0x46}}, {42, {9}}}));
    EXPECT_EQ(mac.requests[1],
              record80({{0, {0x63, 0x41, 0x30, 0x46}}, {28, {2, 0, 0, 0}}, {42, {5}}}));

    EXPECT_EQ(smc->rpm("F0Ac"), 2150);
    EXPECT_EQ(mac.requests.size(), 3u) << "the key info is remembered";
}

TEST(AppleSmcTranslator, DecodesAnOlderMacsKeys) {
    FakeAppleSmcKext mac = FakeAppleSmcKext::fpe2Mac();
    auto smc = smcOver(mac);
    EXPECT_EQ(smc->readKey("FNum"), Bytes{2});
    EXPECT_EQ(smc->rpm("F0Mn"), 1200);
    EXPECT_EQ(smc->rpm("F0Mx"), 6200);
    EXPECT_EQ(smc->rpm("F1Ac"), 1999);
    EXPECT_EQ(smc->readKey("TC0P"), (Bytes{0x30, 0x80})) << "sp78 passes as it is";
    EXPECT_EQ(smc->cpuTemperatureCelsius(), 48.5);
    EXPECT_EQ(smc->readKey("FS! "), (Bytes{0x00, 0x02}));

    // Quarter rpm round to the nearest whole one, a half up, as a float speed does on a newer
    // Mac; the largest fpe2 value still fits 16 bits.
    const std::pair<Bytes, int> quarters[] = {{{0x0F, 0x99}, 998},  // 998.25
                                              {{0x0F, 0x9A}, 999},  // 998.5
                                              {{0x0F, 0x9B}, 999},  // 998.75
                                              {{0xFF, 0xFF}, 16384}};
    for (const auto& [bytes, rpm] : quarters) {
        mac.keys["F0Ac"].bytes = bytes;
        EXPECT_EQ(smc->rpm("F0Ac"), rpm);
    }
    FakeAppleSmcKext newer = FakeAppleSmcKext::floatMac();
    newer.keys["F0Ac"].bytes = flt(998.5f);
    EXPECT_EQ(smcOver(newer)->rpm("F0Ac"), 999);

    // A read the SMC answers with an error in its result byte yields nothing.
    mac.unreadableKeys = {"F0Mn"};
    EXPECT_EQ(smc->rpm("F0Mn"), std::nullopt);
    EXPECT_EQ(smc->rpm("F0Mx"), 6200);
}

TEST(AppleSmcTranslator, DecodesANewerMacsFloats) {
    FakeAppleSmcKext mac = FakeAppleSmcKext::floatMac();
    auto smc = smcOver(mac);
    EXPECT_EQ(smc->rpm("F0Ac"), 2150);
    EXPECT_EQ(smc->rpm("F0Mx"), 5727);
    EXPECT_EQ(smc->readKey("TC0P"), (Bytes{0x30, 0x80}));
    EXPECT_EQ(smc->readKey("TC0D"), std::nullopt) << "a negative float is not unsigned 8.8";
    EXPECT_EQ(smc->cpuTemperatureCelsius(), 48.5);

    mac.keys["F0Ac"].bytes = flt(std::nanf(""));
    EXPECT_EQ(smc->rpm("F0Ac"), std::nullopt);
    mac.keys["F0Ac"].bytes = flt(1.0e9f);
    EXPECT_EQ(smc->rpm("F0Ac"), std::nullopt);
}

TEST(AppleSmcTranslator, AnUnknownKeyIsNotFound) {
    FakeAppleSmcKext mac = FakeAppleSmcKext::fpe2Mac();
    auto smc = smcOver(mac);
    EXPECT_EQ(smc->readKey("TCPU"), std::nullopt);
    EXPECT_FALSE(smc->writeKey("ABCD", "ui8 ", {1}));
    EXPECT_FALSE(smc->setFanTargetRPM(5, 2000));
    // Nor is one longer than the record's 32 bytes.
    mac.keys["TBIG"] = {"ch8*", Bytes(40, 1)};
    EXPECT_EQ(smc->readKey("TBIG"), std::nullopt);
    EXPECT_FALSE(smc->writeKey("TBIG", "ch8*", {1}));
    EXPECT_TRUE(mac.writes.empty());
}

TEST(AppleSmcTranslator, ATargetOnAnOlderMacSetsTheFansBitThenWritesFpe2) {
    FakeAppleSmcKext mac = FakeAppleSmcKext::fpe2Mac();
    auto smc = smcOver(mac);
    ASSERT_TRUE(smc->setFanTargetRPM(0, 3000));
    const std::vector<std::pair<std::string, Bytes>> expected = {{"FS! ", {0x00, 0x03}},
                                                                 {"F0Tg", {0x2E, 0xE0}}};
    EXPECT_EQ(mac.writes, expected);
    // The write of the target, byte for byte.
    EXPECT_EQ(
        mac.requests.back(),
        record80(
            {{0, {0x67, 0x54, 0x30, 0x46}}, {28, {2, 0, 0, 0}}, {42, {6}}, {48, {0x2E, 0xE0}}}));
    // A speed beyond what fpe2 holds is clamped to its largest value, not wrapped.
    ASSERT_TRUE(smc->setFanTargetRPM(0, 20000));
    EXPECT_EQ(mac.writes.back(), (std::pair<std::string, Bytes>{"F0Tg", {0xFF, 0xFC}}));
}

TEST(AppleSmcTranslator, ATargetOnANewerMacSetsItsModeKeyThenWritesAFloat) {
    FakeAppleSmcKext mac = FakeAppleSmcKext::floatMac();
    auto smc = smcOver(mac);
    ASSERT_TRUE(smc->setFanTargetRPM(0, 3000));
    const std::vector<std::pair<std::string, Bytes>> expected = {{"F0Md", {0x01}},
                                                                 {"F0Tg", flt(3000.0f)}};
    EXPECT_EQ(mac.writes, expected);
    EXPECT_EQ(mac.keys["FS! "].bytes, Bytes{}) << "no mask is made up";
}

TEST(AppleSmcTranslator, HandingBackOnAnOlderMacClearsTheMask) {
    FakeAppleSmcKext mac = FakeAppleSmcKext::fpe2Mac();
    auto smc = smcOver(mac);
    ASSERT_TRUE(smc->writeKey("FS! ", "ui8 ", {0x00}));
    const std::vector<std::pair<std::string, Bytes>> expected = {{"FS! ", {0x00, 0x00}}};
    EXPECT_EQ(mac.writes, expected);
}

TEST(AppleSmcTranslator, HandingBackOnANewerMacClearsEveryModeKey) {
    FakeAppleSmcKext mac = FakeAppleSmcKext::floatMac();
    auto smc = smcOver(mac);
    ASSERT_TRUE(smc->writeKey("FS! ", "ui8 ", {0x00}));
    const std::vector<std::pair<std::string, Bytes>> expected = {{"F0Md", {0x00}},
                                                                 {"F1Md", {0x00}}};
    EXPECT_EQ(mac.writes, expected);
}

TEST(AppleSmcTranslator, OtherKeysAreWrittenWithTheirOwnSize) {
    FakeAppleSmcKext mac = FakeAppleSmcKext::fpe2Mac();
    auto smc = smcOver(mac);
    ASSERT_TRUE(smc->writeKey("BCLM", "ui8 ", {80, 99}));
    const std::vector<std::pair<std::string, Bytes>> expected = {{"BCLM", {80}}};
    EXPECT_EQ(mac.writes, expected);
}

TEST(AppleSmcTranslator, WritesTheKernelRefusesFail) {
    for (FakeAppleSmcKext mac : {FakeAppleSmcKext::fpe2Mac(), FakeAppleSmcKext::floatMac()}) {
        mac.refuseWrites = true;  // as not privileged: a user's write, for the helper to make
        auto smc = smcOver(mac);
        EXPECT_TRUE(smc->setFanTargetRPM(0, 3000) == LegacySMCWriteResult::notPermitted);
        EXPECT_TRUE(smc->writeKey("FS! ", "ui8 ", {0x00}) == LegacySMCWriteResult::notPermitted);
        EXPECT_EQ(smc->rpm("F0Ac"), 2150) << "reads still work";
        EXPECT_TRUE(mac.writes.empty());
    }

    // A target refused once the fan is manual hands that fan back, and that fan alone.
    FakeAppleSmcKext older = FakeAppleSmcKext::fpe2Mac();
    older.refusedKeys = {"F0Tg"};
    EXPECT_FALSE(smcOver(older)->setFanTargetRPM(0, 3000));
    EXPECT_EQ(older.writes, (std::vector<std::pair<std::string, Bytes>>{{"FS! ", {0x00, 0x03}},
                                                                        {"FS! ", {0x00, 0x02}}}));
    FakeAppleSmcKext newer = FakeAppleSmcKext::floatMac();
    newer.refusedKeys = {"F0Tg"};
    EXPECT_FALSE(smcOver(newer)->setFanTargetRPM(0, 3000));
    EXPECT_EQ(newer.writes,
              (std::vector<std::pair<std::string, Bytes>>{{"F0Md", {0x01}}, {"F0Md", {0x00}}}));

    // Handing back goes on past a fan that refuses, and that refusal is the answer.
    FakeAppleSmcKext handBack = FakeAppleSmcKext::floatMac();
    handBack.refusedKeys = {"F0Md"};
    EXPECT_FALSE(smcOver(handBack)->writeKey("FS! ", "ui8 ", {0x00}));
    EXPECT_EQ(handBack.writes, (std::vector<std::pair<std::string, Bytes>>{{"F1Md", {0x00}}}));
}

TEST(AppleSmcTranslator, AFailedKeyInfoIsAskedAgainNextTime) {
    FakeAppleSmcKext mac = FakeAppleSmcKext::fpe2Mac();
    const auto tcpu = mac.keys.find("TC0P");
    const auto saved = tcpu->second;
    mac.keys.erase(tcpu);
    auto smc = smcOver(mac);
    EXPECT_EQ(smc->readKey("TC0P"), std::nullopt);
    mac.keys["TC0P"] = saved;
    EXPECT_EQ(smc->readKey("TC0P"), (Bytes{0x30, 0x80}));
}

}  // namespace
