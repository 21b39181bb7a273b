// Preloaded into the memory-pressure tool by its tests: a kernel whose sync takes two seconds, as
// one does over a slow or dead file system.

#include <chrono>
#include <thread>

extern "C" void sync() {
    std::this_thread::sleep_for(std::chrono::seconds(2));
}
