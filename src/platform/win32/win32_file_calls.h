// The call of the Windows file stand-in whose answer says what a path is (a plain
// file or folder, or a reparse point: a junction or symbolic link), as a table, so
// that a test can show the stand-in a reparse point where the system it runs on
// makes none (Wine 8).
#pragma once

#include "platform/scoped_ops.h"

#include <windows.h>

namespace kestar::platform {

struct Win32FileCalls {
    BOOL(WINAPI* GetFileInformationByHandle)(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);
};

// The table in use.
Win32FileCalls& Win32Files();

using ScopedWin32FileCalls = ScopedOps<Win32FileCalls, Win32Files>;

}  // namespace kestar::platform
