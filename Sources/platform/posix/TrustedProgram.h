#pragma once

#include <string>

namespace platform::posix {

// Whether root may run the program at `path`: a regular file that root owns and that neither
// its group nor anybody else may write, in a folder of which the same holds. Links are resolved
// first, so that the file and the folder checked are the ones that would run.
bool isTrustedForRoot(const std::string& path);

}  // namespace platform::posix
