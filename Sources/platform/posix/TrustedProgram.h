#pragma once

#include <string>

namespace platform::posix {

// The program at `path`, with every link resolved, when root may run it: a regular file that
// root owns and that neither its group nor anybody else may write, in folders that root owns all
// the way up to "/" and that nobody else may write, unless they are sticky (like /tmp, where
// nobody else may move what root keeps there), and not on a nosuid mount, which any user may
// have made. Empty otherwise. Run exactly the path returned: nobody but root can change what
// lies there.
std::string trustedForRoot(const std::string& path);

// The program at `path` inside the application bundle at `bundle`, with every link resolved,
// when root may run it: as above, but the program and every folder from it up to the bundle
// written by nobody but root, and the folders above the bundle root's, which their group may
// write (macOS's /Applications is writable by the admin group: nobody but root can put a bundle
// of root's in place of another). Empty otherwise, and when the program is not in the bundle.
std::string trustedInBundle(const std::string& path, const std::string& bundle);

// Whether root may run the program at `path`.
bool isTrustedForRoot(const std::string& path);

}  // namespace platform::posix
