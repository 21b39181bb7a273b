// Preloaded into the memory-pressure tool by its tests: a kernel whose sync takes two seconds, as
// one does over a slow or dead file system, and whose fork fails or whose waitpid has lost the
// child's end where QUORVEL_FAILING_CALL names that call.

#include <dlfcn.h>
#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

// Whether the call is to fail, with `error` set when it is.
static bool fails(const char* call, int error) {
    const char* named = std::getenv("QUORVEL_FAILING_CALL");
    if (named == nullptr || std::strcmp(named, call) != 0) {
        return false;
    }
    errno = error;
    return true;
}

extern "C" void sync() {
    std::this_thread::sleep_for(std::chrono::seconds(2));
}

extern "C" pid_t fork() {
    return fails("fork", EAGAIN) ? -1 : reinterpret_cast<pid_t (*)()>(dlsym(RTLD_NEXT, "fork"))();
}

extern "C" pid_t waitpid(pid_t process, int* status, int options) {
    using Waitpid = pid_t (*)(pid_t, int*, int);
    return fails("waitpid", ECHILD)
               ? -1
               : reinterpret_cast<Waitpid>(dlsym(RTLD_NEXT, "waitpid"))(process, status, options);
}
