// The privileged helper of Quorvel Legacy: carries out, as root, the SMC writes the program makes
// and the RAM clean-up, for a program that runs without root's rights.
//
// Started by the program through pkexec (Linux) or the administrator authorization of macOS, it
// reads requests from its standard input, one a line, and answers each on its standard output:
//
//   write F<i>Tg <hex>   fan <i>'s target speed, within that fan's own limits
//   write FS!  00        every fan handed back to the SMC
//   reclaim              the memory-pressure tool, run to its end
//
// Its first line is "ready <pid> <version>": the user has authorized it, this is the process the
// program reaps once it has ended, and the program uses it only when it is of its own version.
// Each request is checked before anything is done, and none is carried out once the program has
// stopped listening; see PrivilegedRequests.h. It ends when its input closes, that is, with the
// program.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "LegacyMemory.h"
#include "LegacySMC.h"
#include "PrivilegedRequests.h"
#include "platform/SmcUserClient.h"

namespace {

// The channel to the program, moved off the standard streams: the memory-pressure tool the helper
// runs gets /dev/null there instead, so that nothing it prints is taken for an answer and it
// does not hold the channel open once the helper has ended.
struct Channel {
    int in = -1;
    int out = -1;
};

Channel takeChannel() {
    Channel channel{::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3),
                    ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3)};
    const int nothing = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (nothing < 0 || ::dup2(nothing, STDIN_FILENO) < 0 || ::dup2(nothing, STDOUT_FILENO) < 0) {
        return {};
    }
    ::close(nothing);
    return channel;
}

// Root in full: started set-user-id (as macOS's authorization starts it), the helper keeps the
// user's real ids, so that the user's processes could signal it and what it runs would inherit a
// mixed identity.
bool becomeRootInFull() {
    return ::geteuid() == 0 && ::setgid(0) == 0 && ::setuid(0) == 0 && ::getuid() == 0 &&
           ::getgid() == 0;
}

}  // namespace

int main() {
    // The tool's end is waited for: a parent that ignored SIGCHLD (macOS's authorization passes
    // on the program's) would have the kernel reap it and lose its end.
    ::signal(SIGCHLD, SIG_DFL);
    if (!becomeRootInFull()) {
        std::fputs("quorvel-legacy-helper: runs as root, started by Quorvel Legacy\n", stderr);
        return 1;
    }
    ::signal(SIGPIPE, SIG_IGN);  // a program gone is seen as a failed write
    const Channel channel = takeChannel();
    if (channel.in < 0 || channel.out < 0 ||
        !platform::privileged::sendAll(
            channel.out, platform::privileged::readyLine(static_cast<int>(::getpid())) + "\n")) {
        return 1;
    }

    LegacySMC smc(platform::makeDirectSmcUserClient());
    platform::PrivilegedRequests requests(smc, [] { return LegacyMemory::reclaim(); });
    requests.serve(channel.in, channel.out);
    return 0;
}
