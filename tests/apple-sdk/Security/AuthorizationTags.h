// Declarations of the Security framework's authorization tags the macOS sources use
// (see ../README.md).
#pragma once

#define kAuthorizationRightExecute "system.privilege.admin"
