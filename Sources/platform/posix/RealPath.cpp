#include "RealPath.h"
#include <stdlib.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace platform::posix {

std::string realPath(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                           &std::free);
    return real ? std::string(real.get()) : std::string();
}

}  // namespace platform::posix
