#include "PrivilegedRequests.h"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "LegacySMC.h"

namespace platform {

using namespace privileged;

PrivilegedRequests::PrivilegedRequests(LegacySMC& smc, CleanUp cleanUp)
    : smc_(smc), cleanUp_(std::move(cleanUp)) {}

void PrivilegedRequests::serve(int in, int out) {
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        for (const auto& line :
             lines_.take(std::string_view(buffer, static_cast<std::size_t>(n)))) {
            if (peerHungUp(in, out)) {
                return;
            }
            const std::string reply = line ? answer(*line) : std::string(kTooLong);
            if (!sendAll(out, reply + "\n")) {
                return;
            }
        }
    }
}

std::vector<std::string> PrivilegedRequests::take(std::string_view bytes) {
    std::vector<std::string> answers;
    for (const auto& line : lines_.take(bytes)) {
        answers.emplace_back(line ? answer(*line) : std::string(kTooLong));
    }
    return answers;
}

std::string PrivilegedRequests::answer(std::string_view line) {
    const auto request = parseRequest(line);
    if (!request) {
        return std::string(kMalformed);
    }
    if (request->kind == Request::write) {
        return std::string(write(*request));
    }
    switch (cleanUp_()) {
        case LegacyReclaimOutcome::toolEnded:
            return std::string(kOk);
        case LegacyReclaimOutcome::toolStillRunning:
            return std::string(kStillRunning);
        case LegacyReclaimOutcome::toolNotStarted:
            return std::string(kToolNotStarted);
        case LegacyReclaimOutcome::toolFailed:
            return std::string(kToolFailed);
        case LegacyReclaimOutcome::notPermitted:
            break;
    }
    return std::string(kFailed);
}

std::string_view PrivilegedRequests::write(const Request& request) {
    if (request.key == LegacySMC::kFanForceKey) {
        if (request.data.size() != 1) {
            return kBadLength;
        }
        if (request.data[0] != 0x00) {
            return kBadValue;
        }
        return smc_.writeKey(LegacySMC::kFanForceKey, LegacySMC::kFanForceType, request.data)
                   ? kOk
                   : kFailed;
    }
    const std::string& key = request.key;
    if (key[0] == 'F' && key[1] >= '0' && key[1] <= '9' && key.compare(2, 2, "Tg") == 0) {
        return writeTarget(key[1] - '0', request.data);
    }
    return kUnknownKey;
}

std::string_view PrivilegedRequests::writeTarget(int fan, const std::vector<std::uint8_t>& data) {
    if (data.size() != 2) {
        return kBadLength;
    }
    const auto fans = smc_.readKey(LegacySMC::kFanCountKey);
    if (!fans || fans->empty() || fan >= (*fans)[0]) {
        return kNoSuchFan;
    }
    const auto minimum = smc_.rpm(LegacySMC::fanKey(LegacySMC::kFanMinimumSpeedKey, fan));
    const auto maximum = smc_.rpm(LegacySMC::fanKey(LegacySMC::kFanMaximumSpeedKey, fan));
    const int rpm = data[0] * 256 + data[1];
    if (!minimum || !maximum || rpm < *minimum || rpm > *maximum) {
        return kBadSpeed;
    }
    return smc_.writeKey(LegacySMC::fanKey(LegacySMC::kFanTargetSpeedKey, fan),
                         LegacySMC::kFanTargetSpeedType, data)
               ? kOk
               : kFailed;
}

}  // namespace platform
