#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "LegacyMemory.h"
#include "platform/privileged/PrivilegedProtocol.h"

class LegacySMC;

namespace platform {

// The privileged helper's side of the protocol: it takes request lines, checks each before it
// acts and answers it. It makes only the writes the program makes, and trusts nothing it is sent:
// - "F<i>Tg" with two bytes: fan <i> must be among the fans the SMC counts ("FNum"), and the
//   speed must lie within that fan's own minimum and maximum ("F<i>Mn", "F<i>Mx") as read here;
// - "FS! " with the one byte 0: every fan handed back;
// - the clean-up.
// Anything else (another key, another length or value, a fan not there, a speed beyond its
// limits, garbage, a line too long) is answered with an error and changes nothing.
class PrivilegedRequests {
  public:
    using CleanUp = std::function<LegacyReclaimOutcome()>;

    PrivilegedRequests(LegacySMC& smc, CleanUp cleanUp);

    // Reads requests from `in` and answers each on `out` until `in` ends or the program stops
    // listening: a request whose program has hung up meanwhile (it gave up waiting) is not
    // carried out, since a newer one may have taken its place.
    void serve(int in, int out);

    // The answers, without their line ends, to every request the bytes complete.
    std::vector<std::string> take(std::string_view bytes);
    // The answer to one request line.
    std::string answer(std::string_view line);

  private:
    std::string_view write(const privileged::Request& request);
    std::string_view writeTarget(int fan, const std::vector<std::uint8_t>& data);

    LegacySMC& smc_;
    CleanUp cleanUp_;
    privileged::LineSplitter lines_;
};

}  // namespace platform
