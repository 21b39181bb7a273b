#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "LegacySMC.h"
#include "RecordingSmcUserClient.h"
#ifdef __APPLE__
#include <sys/sysctl.h>

#include <cstdio>

#include "platform/darwin/AppleSmcKeyData.h"
#include "platform/darwin/AppleSmcTranslator.h"
#include "platform/darwin/DarwinSmcUserClient.h"
#endif

namespace {

using Bytes = std::vector<std::uint8_t>;

// Lends a recording client to an SMC object, so that the test still sees it after teardown.
class LentClient : public platform::SmcUserClient {
  public:
    explicit LentClient(RecordingSmcUserClient& client) : client_(client) {}
    std::uint32_t matchingService(const char* name) override {
        return client_.matchingService(name);
    }
    platform::KernReturn serviceOpen(std::uint32_t s, std::uint32_t t, std::uint32_t* c) override {
        return client_.serviceOpen(s, t, c);
    }
    platform::KernReturn objectRelease(std::uint32_t o) override {
        return client_.objectRelease(o);
    }
    platform::KernReturn callStructMethod(std::uint32_t c, std::uint32_t s, const void* in,
                                          std::size_t inSize, void* out,
                                          std::size_t* outSize) override {
        return client_.callStructMethod(c, s, in, inSize, out, outSize);
    }
    platform::KernReturn serviceClose(std::uint32_t c) override { return client_.serviceClose(c); }

  private:
    RecordingSmcUserClient& client_;
};

std::unique_ptr<LegacySMC> smcOver(RecordingSmcUserClient& client) {
    return std::make_unique<LegacySMC>(std::make_unique<LentClient>(client));
}

// A 76-byte record with the given bytes set, everything else zero.
Bytes record(std::initializer_list<std::pair<std::size_t, Bytes>> fields) {
    Bytes bytes(76, 0);
    for (const auto& [offset, value] : fields) {
        std::copy(value.begin(), value.end(), bytes.begin() + static_cast<long>(offset));
    }
    return bytes;
}

bool hostIsLittleEndian() {
    const std::uint16_t one = 1;
    return *reinterpret_cast<const std::uint8_t*>(&one) == 1;
}

// A reply that says `length` bytes are valid, with a payload of 1, 2, 3, ...
std::function<platform::KernReturn(const LegacySMCParamRecord&, LegacySMCParamRecord&)>
replyWithLength(std::uint32_t length) {
    return [length](const LegacySMCParamRecord&, LegacySMCParamRecord& reply) {
        reply.replyLength = length;
        for (std::size_t i = 0; i < sizeof reply.payload; ++i) {
            reply.payload[i] = static_cast<std::uint8_t>(i + 1);
        }
        return platform::kKernSuccess;
    };
}

Bytes ascending(std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i + 1);
    }
    return bytes;
}

TEST(SmcConnection, OpensTheAppleSmcServiceReleasesItAndClosesAtTeardown) {
    RecordingSmcUserClient client;
    {
        auto smc = smcOver(client);
        EXPECT_TRUE(smc->isAvailable());
    }
    const std::vector<std::string> expected = {"matchingService AppleSMC", "serviceOpen 4660 0",
                                               "objectRelease 4660", "serviceClose 22136"};
    EXPECT_EQ(client.calls, expected);
}

TEST(SmcConnection, WithoutAServiceNothingIsOpenedAndNoKeyCallIsMade) {
    RecordingSmcUserClient client;
    client.service = 0;
    {
        auto smc = smcOver(client);
        EXPECT_FALSE(smc->isAvailable());
        EXPECT_FALSE(smc->readKey("FNum").has_value());
        EXPECT_FALSE(smc->writeKey("FS! ", "ui8 ", {0x00}));
    }
    EXPECT_EQ(client.calls, std::vector<std::string>{"matchingService AppleSMC"});
}

TEST(SmcConnection, AFailedOpenIsUnavailableButAHandleLeftBehindIsStillUsedAndClosed) {
    RecordingSmcUserClient client;
    client.openResult = platform::kKernFailure;
    client.answer = replyWithLength(1);
    {
        auto smc = smcOver(client);
        EXPECT_FALSE(smc->isAvailable());
        EXPECT_TRUE(smc->readKey("FNum").has_value());
    }
    ASSERT_EQ(client.exchanges.size(), 1u);
    EXPECT_EQ(client.exchanges[0].connection, 22136u);
    EXPECT_EQ(client.calls.back(), "serviceClose 22136");
}

TEST(SmcConnection, AnOpenThatLeavesNoHandleIsUnavailable) {
    RecordingSmcUserClient client;
    client.openedConnection = 0;
    {
        auto smc = smcOver(client);
        EXPECT_FALSE(smc->isAvailable());
        EXPECT_FALSE(smc->readKey("FNum").has_value());
    }
    EXPECT_TRUE(client.exchanges.empty());
    EXPECT_EQ(client.calls.back(), "objectRelease 4660");
}

#ifdef __APPLE__
// This Mac's own SMC, through the kernel extension and the program's translator. Its key count
// "#KEY" is a ui32 that only comes back right with the right record size, selector and byte
// order; what else was found is printed for the log.
TEST(SmcConnection, ThisMacsSmcCountsItsKeysThroughTheProgramsRecord) {
    const auto kext = platform::makeAppleSmcKextClient();
    const std::uint32_t service = kext->matchingService("AppleSMC");
    std::uint32_t connection = 0;
    const bool opened = service != 0 && kext->serviceOpen(service, 0, &connection) == 0;
    if (service != 0) {
        kext->objectRelease(service);
    }
    if (!opened || connection == 0) {
        GTEST_SKIP() << "the AppleSMC service could not be opened on this machine";
    }
    platform::AppleSmcKeyData request{};
    request.key = LegacySMC::fourChar("#KEY");
    request.data8 = platform::AppleSmcKeyData::kCommandKeyInfo;
    platform::AppleSmcKeyData info{};
    std::size_t infoSize = sizeof info;
    const auto asked = kext->callStructMethod(connection, platform::AppleSmcTranslator::kSelector,
                                              &request, sizeof request, &info, &infoSize);
    kext->serviceClose(connection);
    // A virtual Mac's SMC answers what macOS needs to boot, perhaps not this; a real one must.
    int virtualMachine = 0;
    std::size_t flagSize = sizeof virtualMachine;
    const bool isVirtual =
        ::sysctlbyname("kern.hv_vmm_present", &virtualMachine, &flagSize, nullptr, 0) == 0 &&
        virtualMachine == 1;
    if (isVirtual && (asked != platform::kKernSuccess ||
                      info.result != platform::AppleSmcKeyData::kResultSuccess)) {
        GTEST_SKIP() << "a virtual Mac whose SMC refused #KEY's key info (status " << asked
                     << ", result " << int{info.result} << ")";
    }
    ASSERT_EQ(asked, platform::kKernSuccess);
    EXPECT_EQ(infoSize, sizeof info);
    EXPECT_EQ(info.result, platform::AppleSmcKeyData::kResultSuccess);
    EXPECT_EQ(info.keyInfo.dataSize, 4u);
    EXPECT_EQ(info.keyInfo.dataType, LegacySMC::fourChar("ui32"));

    LegacySMC smc(platform::makeDirectSmcUserClient());
    ASSERT_TRUE(smc.isAvailable());
    const auto count = smc.readKey("#KEY");
    ASSERT_TRUE(count.has_value());
    ASSERT_EQ(count->size(), 4u);
    const std::uint32_t keys = std::uint32_t{(*count)[0]} << 24 | std::uint32_t{(*count)[1]} << 16 |
                               std::uint32_t{(*count)[2]} << 8 | (*count)[3];
    EXPECT_GT(keys, 0u);
    EXPECT_LT(keys, 0x10000u);  // the other byte order makes millions of a few thousand
    std::string temperatureKey = "none";
    for (const char* key : LegacySMC::kCpuTemperatureKeys) {
        if (smc.readKey(key)) {
            temperatureKey = key;
            break;
        }
    }
    std::printf("AppleSMC: %u keys; FNum %s; CPU temperature key: %s\n", keys,
                smc.readKey(LegacySMC::kFanCountKey) ? "found" : "not found",
                temperatureKey.c_str());
}
#endif

TEST(SmcKeyCode, IsTheFirstFourUtf8BytesWithTheFirstInTheHighestByte) {
    EXPECT_EQ(LegacySMC::fourChar("FNum"), 0x464E756Du);
    EXPECT_EQ(LegacySMC::fourChar("TC0P"), 0x54433050u);
    EXPECT_EQ(LegacySMC::fourChar("TCPU"), 0x54435055u);
    EXPECT_EQ(LegacySMC::fourChar("F0Tg"), 0x46305467u);
    EXPECT_EQ(LegacySMC::fourChar("FS! "), 0x46532120u);
    EXPECT_EQ(LegacySMC::fourChar(""), 0u);
    EXPECT_EQ(LegacySMC::fourChar("ab"), 0x00006162u);
    EXPECT_EQ(LegacySMC::fourChar("TC0P and more"), 0x54433050u);
    // "Ключ": four characters, eight bytes; the code takes the bytes of the first two.
    EXPECT_EQ(LegacySMC::fourChar("\u041A\u043B\u044E\u0447"), 0xD09AD0BBu);
}

TEST(SmcRecord, LaysOutEveryFieldAtItsOffset) {
    EXPECT_EQ(sizeof(LegacySMCParamRecord), 76u);
    EXPECT_EQ(offsetof(LegacySMCParamRecord, keyCode), 0u);
    EXPECT_EQ(offsetof(LegacySMCParamRecord, reserved4), 4u);
    EXPECT_EQ(offsetof(LegacySMCParamRecord, padding13), 13u);
    EXPECT_EQ(offsetof(LegacySMCParamRecord, reserved14), 14u);
    EXPECT_EQ(offsetof(LegacySMCParamRecord, reserved16), 16u);
    EXPECT_EQ(offsetof(LegacySMCParamRecord, padding17), 17u);
    EXPECT_EQ(offsetof(LegacySMCParamRecord, typeCode), 20u);
    EXPECT_EQ(offsetof(LegacySMCParamRecord, reserved24), 24u);
    EXPECT_EQ(offsetof(LegacySMCParamRecord, command), 32u);
    EXPECT_EQ(offsetof(LegacySMCParamRecord, padding33), 33u);
    EXPECT_EQ(offsetof(LegacySMCParamRecord, writeLength), 36u);
    EXPECT_EQ(offsetof(LegacySMCParamRecord, replyLength), 40u);
    EXPECT_EQ(offsetof(LegacySMCParamRecord, payload), 44u);
}

class SmcExchange : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(hostIsLittleEndian()) << "the expected bytes are those of an Intel Mac";
        smc = smcOver(client);
        client.calls.clear();
    }
    RecordingSmcUserClient client;
    std::unique_ptr<LegacySMC> smc;
};

TEST_F(SmcExchange, AReadSendsTheKeyCodeAndCommandFiveAndNothingElse) {
    client.answer = replyWithLength(2);
    smc->readKey("TC0P");
    ASSERT_EQ(client.exchanges.size(), 1u);
    const auto& exchange = client.exchanges[0];
    EXPECT_EQ(exchange.connection, 22136u);
    EXPECT_EQ(exchange.selector, 2u);
    EXPECT_EQ(exchange.outputSizeOnEntry, 76u);
    EXPECT_EQ(exchange.request, record({{0, {0x50, 0x30, 0x43, 0x54}}, {32, {5}}}));
}

TEST_F(SmcExchange, TheAutomaticFansWriteIsByteExact) {
    EXPECT_TRUE(smc->writeKey("FS! ", "ui8 ", {0x00}));
    ASSERT_EQ(client.exchanges.size(), 1u);
    EXPECT_EQ(client.exchanges[0].selector, 2u);
    EXPECT_EQ(client.exchanges[0].outputSizeOnEntry, 76u);
    EXPECT_EQ(client.exchanges[0].request, record({{0, {0x20, 0x21, 0x53, 0x46}},
                                                   {20, {0x75, 0x69, 0x38, 0x20}},
                                                   {32, {6}},
                                                   {36, {0x01, 0x00, 0x00, 0x00}}}));
}

TEST_F(SmcExchange, AFanTargetWriteCarriesKeyTypeLengthAndValue) {
    EXPECT_TRUE(smc->writeKey("F0Tg", "ui16", {0x04, 0xB0}));
    ASSERT_EQ(client.exchanges.size(), 1u);
    EXPECT_EQ(client.exchanges[0].request, record({{0, {0x67, 0x54, 0x30, 0x46}},
                                                   {20, {0x75, 0x69, 0x31, 0x36}},
                                                   {32, {6}},
                                                   {36, {0x02, 0, 0, 0}},
                                                   {44, {0x04, 0xB0}}}));
}

TEST_F(SmcExchange, AFortyByteWriteSendsItsWholeLengthButOnlyThirtyTwoBytes) {
    EXPECT_TRUE(smc->writeKey("ABCD", "ch8*", ascending(40)));
    ASSERT_EQ(client.exchanges.size(), 1u);
    EXPECT_EQ(client.exchanges[0].request, record({{0, {'D', 'C', 'B', 'A'}},
                                                   {20, {'c', 'h', '8', '*'}},
                                                   {32, {6}},
                                                   {36, {40, 0, 0, 0}},
                                                   {44, ascending(32)}}));
}

TEST_F(SmcExchange, AnEmptyWriteIsStillSentAndTheCallDecides) {
    EXPECT_TRUE(smc->writeKey("ABCD", "ui8 ", {}));
    client.callResult = platform::kKernFailure;
    EXPECT_FALSE(smc->writeKey("ABCD", "ui8 ", {}));
    ASSERT_EQ(client.exchanges.size(), 2u);
    const Bytes expected =
        record({{0, {'D', 'C', 'B', 'A'}}, {20, {'u', 'i', '8', ' '}}, {32, {6}}});
    EXPECT_EQ(client.exchanges[0].request, expected);
    EXPECT_EQ(client.exchanges[1].request, expected);
}

TEST_F(SmcExchange, AReadYieldsExactlyTheBytesTheReplySaysAreValid) {
    client.answer = replyWithLength(1);
    EXPECT_EQ(smc->readKey("FNum"), Bytes{1});
    client.answer = replyWithLength(2);
    EXPECT_EQ(smc->readKey("FNum"), (Bytes{1, 2}));
    client.answer = replyWithLength(32);
    EXPECT_EQ(smc->readKey("FNum"), ascending(32));
    client.answer = replyWithLength(0);
    EXPECT_EQ(smc->readKey("FNum"), std::nullopt);
    client.answer = replyWithLength(33);
    EXPECT_EQ(smc->readKey("FNum"), std::nullopt);
    client.answer = nullptr;  // the call succeeds but leaves the reply as it was sent
    EXPECT_EQ(smc->readKey("FNum"), std::nullopt);
    EXPECT_EQ(client.exchanges.size(), 6u);
}

TEST_F(SmcExchange, AFailedCallYieldsNothingWhateverTheReplyHolds) {
    client.answer = replyWithLength(2);
    client.callResult = platform::kKernFailure;
    EXPECT_EQ(smc->readKey("FNum"), std::nullopt);
    EXPECT_FALSE(smc->writeKey("FS! ", "ui8 ", {0x00}));
}

TEST_F(SmcExchange, KeysAndTypesMustBeFourCharactersOrNoCallIsMade) {
    EXPECT_EQ(smc->readKey("F10"), std::nullopt);
    EXPECT_EQ(smc->readKey("F10Ac"), std::nullopt);
    EXPECT_EQ(smc->readKey(""), std::nullopt);
    EXPECT_FALSE(smc->writeKey("F10Tg", "ui16", {0, 0}));
    EXPECT_FALSE(smc->writeKey("F-1Tg", "ui16", {0, 0}));
    EXPECT_FALSE(smc->writeKey("FS! ", "ui8", {0}));
    EXPECT_FALSE(smc->writeKey("FS! ", "ui8  ", {0}));
    EXPECT_TRUE(client.exchanges.empty());

    // Four characters of which some are not ASCII pass, coded from their first four bytes.
    client.answer = replyWithLength(1);
    EXPECT_TRUE(smc->readKey("T\u00E9mp").has_value());
    EXPECT_TRUE(smc->writeKey("FS! ", "\u00FCi8 ", {0}));
    ASSERT_EQ(client.exchanges.size(), 2u);
    const Bytes& read = client.exchanges[0].request;
    EXPECT_EQ(Bytes(read.begin(), read.begin() + 4), (Bytes{0x6D, 0xA9, 0xC3, 0x54}));
    const Bytes& write = client.exchanges[1].request;
    EXPECT_EQ(Bytes(write.begin() + 20, write.begin() + 24), (Bytes{0xC3, 0xBC, 0x69, 0x38}));
}

// Every path through a key operation leaves the lock free for the next exchange.
TEST(SmcLock, IsReleasedOnEveryPath) {
    RecordingSmcUserClient client;
    auto smc = smcOver(client);
    auto nextReadCompletes = [&smc] {
        auto read = std::async(std::launch::async, [&smc] { return smc->readKey("FNum"); });
        return read.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    };

    smc->readKey("TOO LONG");
    EXPECT_TRUE(nextReadCompletes()) << "after a refused key";
    smc->writeKey("FS! ", "ui8", {0});
    EXPECT_TRUE(nextReadCompletes()) << "after a refused type";
    client.callResult = platform::kKernFailure;
    smc->readKey("FNum");
    smc->writeKey("FS! ", "ui8 ", {0});
    EXPECT_TRUE(nextReadCompletes()) << "after failed calls";
    client.callResult = platform::kKernSuccess;
    client.answer = replyWithLength(40);
    smc->readKey("FNum");
    EXPECT_TRUE(nextReadCompletes()) << "after a bad reply length";
    client.answer = replyWithLength(2);
    smc->readKey("FNum");
    smc->writeKey("FS! ", "ui8 ", {0});
    EXPECT_TRUE(nextReadCompletes()) << "after successful exchanges";

    RecordingSmcUserClient absent;
    absent.service = 0;
    auto unavailable = smcOver(absent);
    unavailable->readKey("FNum");
    unavailable->writeKey("FS! ", "ui8 ", {0});
    auto again = std::async(std::launch::async, [&] { return unavailable->readKey("FNum"); });
    EXPECT_EQ(again.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "after operations without a connection";
}

// A client that notes how many exchanges are inside it at once.
class OverlapCountingClient : public RecordingSmcUserClient {
  public:
    std::atomic<int> inside{0};
    std::atomic<int> mostInside{0};
    platform::KernReturn callStructMethod(std::uint32_t, std::uint32_t, const void*, std::size_t,
                                          void*, std::size_t*) override {
        const int now = ++inside;
        int most = mostInside.load();
        while (now > most && !mostInside.compare_exchange_weak(most, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        --inside;
        return platform::kKernSuccess;
    }
};

TEST(SmcLock, LetsOneExchangeRunAtATime) {
    OverlapCountingClient client;
    auto smc = std::make_unique<LegacySMC>(std::make_unique<LentClient>(client));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&smc, t] {
            for (int i = 0; i < 10; ++i) {
                if (t % 2 == 0) {
                    smc->readKey("FNum");
                } else {
                    smc->writeKey("FS! ", "ui8 ", {0});
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(client.mostInside.load(), 1);
}

TEST(SmcSetBytes, CopiesAtMostThirtyTwoBytesAndLeavesTheRest) {
    std::uint8_t payload[32];
    std::fill(std::begin(payload), std::end(payload), 0xEE);
    smcSetBytes({1, 2, 3}, payload);
    EXPECT_EQ(payload[0], 1);
    EXPECT_EQ(payload[2], 3);
    EXPECT_EQ(payload[3], 0xEE);
    smcSetBytes({}, payload);
    EXPECT_EQ(payload[0], 1);
    smcSetBytes(ascending(40), payload);
    EXPECT_EQ(Bytes(std::begin(payload), std::end(payload)), ascending(32));
}

}  // namespace
