#include "platform/files.h"
#include "platform/win32/win32_file_calls.h"

#include <windows.h>
// The table's slots are named after the calls; the header's A/W macros would rename them.
#undef GetFileAttributes

#include <string>

namespace kestar::platform {

Win32FileCalls& Win32Files() {
    static Win32FileCalls calls{::GetFileInformationByHandle};
    return calls;
}

namespace {

HANDLE Handle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

// A plain disk file: not a directory, device or pipe, and not a reparse point (a
// symbolic link or junction, which FILE_FLAG_OPEN_REPARSE_POINT opened as itself).
bool IsPlainDiskFile(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
    if (::GetFileType(file) != FILE_TYPE_DISK) return false;
    if (!Win32Files().GetFileInformationByHandle(file, &info)) return false;
    const DWORD notPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    return (info.dwFileAttributes & notPlain) == 0;
}

// The folder that holds the file, opened as itself and held without delete sharing
// while the file is opened, so that it can be neither a reparse point (a junction
// or symbolic link to a folder elsewhere) nor be swapped for one meanwhile. The
// folders above it (the install directory as the registry names it) are taken as
// they are named. INVALID_HANDLE_VALUE when the folder is no plain folder; a path
// without a folder part gives a null handle and nothing to check.
HANDLE HoldFolderOf(const char* path) {
    const char* cut = nullptr;
    for (const char* c = path; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '/') cut = c;
    }
    if (cut == nullptr || cut == path) return nullptr;
    const std::string folder(path, cut);
    HANDLE held = ::CreateFileA(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (held == INVALID_HANDLE_VALUE) return nullptr;  // no folder: the file's own open fails and says so
    BY_HANDLE_FILE_INFORMATION info{};
    if (!Win32Files().GetFileInformationByHandle(held, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        ::CloseHandle(held);
        return INVALID_HANDLE_VALUE;
    }
    return held;
}

void ReleaseFolder(HANDLE held) {
    if (held != nullptr && held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
}

}  // namespace

bool HoldingFolderRefused(const char* path) {
    HANDLE folder = HoldFolderOf(path);
    ReleaseFolder(folder);
    return folder == INVALID_HANDLE_VALUE;
}

namespace {

// Never CREATE_ALWAYS: that would empty whatever the path names before it could be
// looked at. The file is emptied only once it is known to be a plain disk file.
FileHandle WinOpenExclusive(const char* path, bool truncate) {
    HANDLE folder = HoldFolderOf(path);
    if (folder == INVALID_HANDLE_VALUE) return kInvalidFile;
    HANDLE file = ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    ReleaseFolder(folder);
    if (file == INVALID_HANDLE_VALUE) return kInvalidFile;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!IsPlainDiskFile(file, info) ||
        (truncate && (::SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
                      !::SetEndOfFile(file)))) {
        ::CloseHandle(file);
        return kInvalidFile;
    }
    return reinterpret_cast<FileHandle>(file);
}

FileHandle WinOpenForReading(const char* path) {
    HANDLE folder = HoldFolderOf(path);
    if (folder == INVALID_HANDLE_VALUE) return kInvalidFile;
    HANDLE file = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                nullptr);
    ReleaseFolder(folder);
    return file == INVALID_HANDLE_VALUE ? kInvalidFile : reinterpret_cast<FileHandle>(file);
}

bool WinGetFileInfo(FileHandle file, FileInfo* info) {
    BY_HANDLE_FILE_INFORMATION details{};
    info->regular = IsPlainDiskFile(Handle(file), details);
    info->size = (static_cast<std::uint64_t>(details.nFileSizeHigh) << 32) | details.nFileSizeLow;
    return true;
}

bool WinRead(FileHandle file, void* data, std::uint32_t size, std::uint32_t* read) {
    DWORD got = 0;
    const BOOL ok = ::ReadFile(Handle(file), data, size, &got, nullptr);
    *read = ok ? got : 0;
    return ok != FALSE;
}

bool WinSeekToEnd(FileHandle file) {
    return ::SetFilePointer(Handle(file), 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER ||
           ::GetLastError() == NO_ERROR;
}

bool WinWrite(FileHandle file, const void* data, std::uint32_t size, std::uint32_t* written) {
    DWORD put = 0;
    BOOL ok = ::WriteFile(Handle(file), data, size, &put, nullptr);
    if (written != nullptr) *written = put;
    return ok != FALSE && put == size;
}

bool WinClose(FileHandle file) { return ::CloseHandle(Handle(file)) != FALSE; }

std::uint32_t WinGetFileAttributes(const char* path) { return ::GetFileAttributesA(path); }

}  // namespace

FileOps FileDefaults() {
    FileOps ops{};
    ops.OpenExclusive = WinOpenExclusive;
    ops.OpenForReading = WinOpenForReading;
    ops.GetFileInfo = WinGetFileInfo;
    ops.Read = WinRead;
    ops.SeekToEnd = WinSeekToEnd;
    ops.Write = WinWrite;
    ops.Close = WinClose;
    ops.GetFileAttributes = WinGetFileAttributes;
    return ops;
}

const std::size_t kMaxPathChars = MAX_PATH - 1;

std::string PathOutOfReach(const std::string& path) {
    if (path.size() > kMaxPathChars) {
        return "its " + std::to_string(path.size()) + " characters are more than the " +
               std::to_string(kMaxPathChars) + " that the ANSI file calls take";
    }
    // '?' cannot be part of a Windows file name: it is what the registry's ANSI
    // read made of a character outside the ANSI code page.
    if (path.find('?') != std::string::npos) {
        return "it names a character outside the ANSI code page (read as '?'), which the ANSI file calls cannot "
               "reach";
    }
    return std::string();
}

std::string LocalPath(const char* fixedPath) { return fixedPath; }

}  // namespace kestar::platform
