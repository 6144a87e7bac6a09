#include "platform/files.h"

#include <windows.h>
// The table's slots are named after the calls; the header's A/W macros would rename them.
#undef GetFileAttributes

namespace kestar::platform {
namespace {

HANDLE Handle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

// A plain disk file: not a directory, device or pipe, and not a reparse point (a
// symbolic link or junction, which FILE_FLAG_OPEN_REPARSE_POINT opened as itself).
bool IsPlainDiskFile(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
    if (::GetFileType(file) != FILE_TYPE_DISK) return false;
    if (!::GetFileInformationByHandle(file, &info)) return false;
    const DWORD notPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    return (info.dwFileAttributes & notPlain) == 0;
}

// Never CREATE_ALWAYS: that would empty whatever the path names before it could be
// looked at. The file is emptied only once it is known to be a plain disk file.
FileHandle WinOpenExclusive(const char* path, bool truncate) {
    HANDLE file = ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
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
    HANDLE file = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                nullptr);
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

std::string LocalPath(const char* fixedPath) { return fixedPath; }

}  // namespace kestar::platform
