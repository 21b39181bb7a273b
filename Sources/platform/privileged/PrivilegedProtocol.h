#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../ReclaimPort.h"

// The line protocol between the program and its privileged helper, on the helper's standard
// input and output. A request is one line, and so is its answer:
//
//   write <key> <hex>   the value of one SMC key, as the program's record carries it, e.g.
//                       "write F0Tg 0bb8" (fan 0's target, 3000 rpm) or "write FS!  00"
//   reclaim             the clean-up: the memory-pressure tool, run to its end
//
//   ok                  done
//   error <reason>      not done, and why (see the reasons below)
//
// A helper says "ready <pid> <version>" first, once it runs as root and before it reads any
// request: the user has authorized it, this is the process to reap once it ends, and this is the
// version it was built as. A helper of another version than the program's is not used. Before it
// acts on a request it looks whether the program still listens, and ends without acting when it
// does not.
//
// A key is exactly four characters (the hand-back key ends in a space), the value 1 to 32 bytes
// as lower- or upper-case hex digits. A line longer than kLongestLine bytes is no request.
namespace platform::privileged {

constexpr std::size_t kLongestLine = 80;

constexpr std::string_view kOk = "ok";
// Why a request was not carried out.
constexpr std::string_view kMalformed = "error malformed";     // no request of this protocol
constexpr std::string_view kTooLong = "error too-long";        // a line beyond kLongestLine
constexpr std::string_view kUnknownKey = "error key";          // a key the program never writes
constexpr std::string_view kBadLength = "error length";        // not the key's own length
constexpr std::string_view kBadValue = "error value";          // a value the key never takes
constexpr std::string_view kNoSuchFan = "error fan";           // a fan that is not there
constexpr std::string_view kBadSpeed = "error speed";          // outside the fan's own limits
constexpr std::string_view kFailed = "error failed";           // the SMC refused the write
constexpr std::string_view kStillRunning = "error running";    // the tool outlived the wait
constexpr std::string_view kToolNotStarted = "error tool";     // the tool could not be started
constexpr std::string_view kToolFailed = "error tool-failed";  // the tool did not do its work
// Never sent by a helper: what the program's session gives for a helper that was authorized but
// gave no answer in time, or went away before it answered.
constexpr std::string_view kNoAnswer = "error no-answer";

// The version of the program and of its helper.
std::string_view version();

// The helper's first line, with this version; what such a line carries (a process id of 0 when
// it carries none); nothing for any other line.
struct Ready {
    int processId = 0;
    std::string version;
};
std::string readyLine(int processId);
std::optional<Ready> parseReady(std::string_view line);

struct Request {
    enum Kind { write, reclaim };
    Kind kind = reclaim;
    std::string key;                 // a write's four-character key
    std::vector<std::uint8_t> data;  // a write's value, 1 to 32 bytes
};

// The request lines, without their line ends.
std::string writeLine(const std::string& key, const std::vector<std::uint8_t>& data);
constexpr std::string_view kReclaimLine = "reclaim";

// The request a line (without its line end) asks for; nothing for anything that is not exactly
// one of the two.
std::optional<Request> parseRequest(std::string_view line);

// What the helper's answer to a clean-up says of the tool's run: no answer at all (no helper,
// authorization refused or cancelled) is notPermitted; an answer but "ok" and the two below,
// the helper's silence among them, is a tool that did not do its work.
ToolRun toolRunOf(const std::optional<std::string>& answer);

// Writes all of the text to the other side of the channel; false when it is gone, which raises
// no SIGPIPE where the channel is a socket.
bool sendAll(int descriptor, const std::string& text);

// Whether the other side of a channel has gone: its requests' descriptor hung up or at its end,
// or, where answers go out on a descriptor of their own, nobody left to read them. Never waits.
bool peerHungUp(int in, int out);

// Splits a stream into lines of at most kLongestLine bytes. A longer line is one line all the
// same, given as nothing, so that its remainder is never taken for a line of its own.
class LineSplitter {
  public:
    // The lines that the bytes complete, in order, without their line ends.
    std::vector<std::optional<std::string>> take(std::string_view bytes);

  private:
    std::string pending_;
    bool overlong_ = false;
};

}  // namespace platform::privileged
