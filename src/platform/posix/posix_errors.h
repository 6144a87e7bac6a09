// The Windows error value (GetLastError) that stands for an errno of the kernel,
// so that the layers above see on Linux the same values as on Windows.
#pragma once

#include <cstdint>

namespace kestar::platform {

// kErrorGenFailure for an errno the table does not name.
std::uint32_t ErrorFromErrno(int error);

}  // namespace kestar::platform
