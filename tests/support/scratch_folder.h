// A temporary folder of its own for each test, removed with everything in it.
#pragma once

#include <string>

namespace kestar::testing {

class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // The folder, without a trailing separator.
    const std::string& path() const { return path_; }
    // path() + separator + name (name may use '/' for sub-folders).
    std::string Join(const std::string& name) const;

private:
    std::string path_;
};

// This platform's path separator.
char PathSeparator();

bool MakeFolder(const std::string& path);
void RemoveTree(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::string& bytes);
// The whole file; empty when it cannot be read (exists() tells the two apart).
std::string ReadFileBytes(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace kestar::testing
