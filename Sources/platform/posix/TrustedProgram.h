#pragma once

#include <string>

namespace platform::posix {

// The program at `path`, with every link resolved, when root may run it: a regular file that
// root owns and that neither its group nor anybody else may write, in folders that root owns all
// the way up to "/" and that neither their group nor anybody else may write, unless they are
// sticky (like /tmp, where nobody else may move what root keeps there), and not on a nosuid
// mount, which any user may have made. Empty otherwise. Run exactly the path returned: nobody
// but root can change what lies there.
std::string trustedForRoot(const std::string& path);

// Whether root may run the program at `path`.
bool isTrustedForRoot(const std::string& path);

}  // namespace platform::posix
