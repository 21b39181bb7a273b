#pragma once

#include <string>

namespace platform::posix {

// The path with every link and every "." and ".." resolved; empty when nothing is there.
std::string realPath(const std::string& path);

}  // namespace platform::posix
