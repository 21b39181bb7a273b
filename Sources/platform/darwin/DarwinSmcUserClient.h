#pragma once

#include <memory>

#include "../SmcUserClient.h"

namespace platform {

// The AppleSMC kernel extension itself, through IOKit: it speaks its own 80-byte record
// (AppleSmcKeyData), which the program reaches through the translator. macOS only.
std::unique_ptr<SmcUserClient> makeAppleSmcKextClient();

}  // namespace platform
