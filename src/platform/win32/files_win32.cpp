#include "platform/files.h"

#include <windows.h>

namespace kestar::platform {
namespace {

HANDLE Handle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FileHandle WinOpenExclusive(const char* path, bool truncate) {
    HANDLE file = ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, truncate ? CREATE_ALWAYS : OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? kInvalidFile : reinterpret_cast<FileHandle>(file);
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

FileOps FileDefaults() { return FileOps{WinOpenExclusive, WinSeekToEnd, WinWrite, WinClose, WinGetFileAttributes}; }

std::string LocalPath(const char* fixedPath) { return fixedPath; }

}  // namespace kestar::platform
