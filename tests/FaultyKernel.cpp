// Preloaded into the memory-pressure tool and the helper by their tests: a kernel whose sync takes
// two seconds, as over a dead file system, and, where QUORVEL_FAILING_CALL names the call, whose
// fork fails, whose waitpid has lost the child's end, or that has no pipe or thread to give.

#include <dlfcn.h>
#include <pthread.h>
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

// The C library's own `name`.
template <typename Call>
Call next(const char* name) {
    return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

extern "C" pid_t fork() {
    return fails("fork", EAGAIN) ? -1 : next<pid_t (*)()>("fork")();
}

extern "C" pid_t waitpid(pid_t process, int* status, int options) {
    return fails("waitpid", ECHILD)
               ? -1
               : next<pid_t (*)(pid_t, int*, int)>("waitpid")(process, status, options);
}

extern "C" int pipe2(int ends[2], int flags) {
    return fails("pipe2", EMFILE) ? -1 : next<int (*)(int*, int)>("pipe2")(ends, flags);
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*start)(void*), void* argument) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    return fails("pthread_create", EAGAIN)
               ? EAGAIN
               : next<Create>("pthread_create")(thread, attributes, start, argument);
}
