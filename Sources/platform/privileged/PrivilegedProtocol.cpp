#include "PrivilegedProtocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "../SmcKeys.h"

namespace platform::privileged {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::string writeLine(const std::string& key, const std::vector<std::uint8_t>& data) {
    std::string line = "write " + key + " ";
    for (const std::uint8_t byte : data) {
        line += kHexDigits[byte >> 4];
        line += kHexDigits[byte & 0x0F];
    }
    return line;
}

std::optional<Request> parseRequest(std::string_view line) {
    if (line == kReclaimLine) {
        return Request{};
    }
    constexpr std::string_view kWrite = "write ";
    constexpr std::size_t kKeyLength = 4;
    constexpr std::size_t kHexStart = kWrite.size() + kKeyLength + 1;
    if (line.size() <= kHexStart || line.substr(0, kWrite.size()) != kWrite ||
        line[kHexStart - 1] != ' ') {
        return std::nullopt;
    }
    Request request;
    request.kind = Request::write;
    request.key = std::string(line.substr(kWrite.size(), kKeyLength));
    for (const char c : request.key) {
        if (c < 0x20 || c > 0x7E) {
            return std::nullopt;
        }
    }
    const std::string_view hex = line.substr(kHexStart);
    if (hex.size() % 2 != 0 || hex.size() / 2 > smc::kPayloadSize) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = hexValue(hex[i]);
        const int low = hexValue(hex[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        request.data.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return request;
}

std::string_view version() {
    return QUORVEL_VERSION;
}

std::string readyLine(int processId) {
    return "ready " + std::to_string(processId) + " " + std::string(version());
}

std::optional<Ready> parseReady(std::string_view line) {
    constexpr std::string_view kReady = "ready ";
    const std::size_t space = line.find(' ', kReady.size());
    if (line.substr(0, kReady.size()) != kReady || space == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view digits = line.substr(kReady.size(), space - kReady.size());
    const std::string_view told = line.substr(space + 1);
    Ready ready;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), ready.processId);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        ready.processId < 0 || told.empty() || told.find(' ') != std::string_view::npos) {
        return std::nullopt;
    }
    ready.version = std::string(told);
    return ready;
}

ToolRun toolRunOf(const std::optional<std::string>& answer) {
    if (!answer) {
        return ToolRun::notPermitted;
    }
    if (*answer == kOk) {
        return ToolRun::ended;
    }
    if (*answer == kStillRunning) {
        return ToolRun::stillRunning;
    }
    if (*answer == kToolNotStarted) {
        return ToolRun::notStarted;
    }
    return ToolRun::failed;
}

bool peerHungUp(int in, int out) {
#ifdef POLLRDHUP
    constexpr short kReadHangUp = POLLRDHUP;
#else
    constexpr short kReadHangUp = 0;
#endif
    constexpr short kGone = POLLHUP | POLLERR | POLLNVAL;
    pollfd sides[2] = {{in, static_cast<short>(POLLIN | kReadHangUp), 0}, {out, 0, 0}};
    const nfds_t count = in == out ? 1 : 2;
    int polled;
    do {
        polled = ::poll(sides, count, 0);
    } while (polled < 0 && errno == EINTR);
    if (polled < 0 || (sides[0].revents & (kGone | kReadHangUp)) != 0 ||
        (count == 2 && (sides[1].revents & kGone) != 0)) {
        return true;
    }
    if ((sides[0].revents & POLLIN) != 0) {
        // A socket at its end is readable with nothing to read: the peer has closed it.
        char next;
        return ::recv(in, &next, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
    }
    return false;
}

bool sendAll(int descriptor, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
#ifdef MSG_NOSIGNAL
        ssize_t n = ::send(descriptor, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) {
            n = ::write(descriptor, text.data() + sent, text.size() - sent);
        }
#else
        const ssize_t n = ::write(descriptor, text.data() + sent, text.size() - sent);
#endif
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::vector<std::optional<std::string>> LineSplitter::take(std::string_view bytes) {
    std::vector<std::optional<std::string>> lines;
    for (const char c : bytes) {
        if (c == '\n') {
            if (overlong_) {
                lines.emplace_back(std::nullopt);
            } else {
                lines.emplace_back(pending_);
            }
            pending_.clear();
            overlong_ = false;
        } else if (!overlong_) {
            if (pending_.size() == kLongestLine) {
                pending_.clear();
                overlong_ = true;
            } else {
                pending_ += c;
            }
        }
    }
    return lines;
}

}  // namespace platform::privileged
