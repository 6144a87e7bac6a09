// RegKey: one registry key (root, path, access) and typed values in fixed encodings.
//
// Strings are REG_SZ with their terminating zero; 32-bit integers, doubles and heap
// blocks are REG_BINARY of exactly their size; rectangles, integer triples and reals
// are strings ("%d %d %d %d", "%d %d %d", "%f", "%f %f %f"). Every operation but
// construction answers 1 for success and 0 for failure; a value that does not exist
// is success, leaving the output alone (raw reads) or giving the default (accessors).
// Setters write nothing and answer 1 while the key is not writable (WriteReal3: 0).
#pragma once

#include "platform/registry.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kestar {

// Four 32-bit integers in the order of the record's fields.
struct RegRect {
    std::int32_t left;
    std::int32_t top;
    std::int32_t right;
    std::int32_t bottom;
};

// A heap block carries its size: the stored size and the size a read accepts.
using RegBlock = std::vector<unsigned char>;

class RegKey {
public:
    using Handle = platform::RegHandle;

    RegKey(Handle root, const std::string& path, int writable);
    ~RegKey();
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    // Keys.
    int Open();
    int OpenAt(Handle root, const std::string& path, int writable);
    int OpenChild(Handle parent, const char* subKey);
    int Create();
    int CreateAt(Handle parent, const char* path);
    int OpenOrCreate(const char* subKey = nullptr);
    int Close();
    int DeleteSubKey(const char* name);

    // Raw values on the open key.
    int QueryString(std::string& value, const char* name);
    int SetString(const std::string& value, const char* name);
    int QueryInt(std::int32_t& value, const char* name);
    int SetInt(std::int32_t value, const char* name);
    int QueryDouble(double& value, const char* name);
    int SetDouble(double value, const char* name);
    int QueryBinary(RegBlock& block, const char* name);
    int SetBinary(const RegBlock& block, const char* name);

    // Accessors: open (or create) path or path\subKey, work there, close.
    int ReadString(std::string& value, const std::string& defaultValue, const char* name, const char* subKey = nullptr);
    int WriteString(const std::string& value, const char* name, const char* subKey = nullptr);
    int ReadInt(std::int32_t& value, std::int32_t defaultValue, const char* name, const char* subKey = nullptr);
    int WriteInt(std::int32_t value, const char* name, const char* subKey = nullptr);
    int ReadBinary(RegBlock& block, const char* name, const char* subKey);
    int WriteBinary(const RegBlock& block, const char* name, const char* subKey);
    int ReadRect(RegRect& value, const RegRect& defaultValue, const char* name, const char* subKey = nullptr);
    int WriteRect(const RegRect& value, const char* name, const char* subKey = nullptr);
    int ReadInt3(std::int32_t& a, std::int32_t& b, std::int32_t& c, const char* defaultText, const char* name,
                 const char* subKey = nullptr);
    int WriteInt3(std::int32_t a, std::int32_t b, std::int32_t c, const char* name, const char* subKey = nullptr);
    int ReadReal(double& value, double defaultValue, const char* name, const char* subKey = nullptr);
    int WriteReal(double value, const char* name, const char* subKey = nullptr);
    int ReadReal3(double& x, double& y, double& z, const char* defaultText, const char* name,
                  const char* subKey = nullptr);
    int WriteReal3(double x, double y, double z, const char* name, const char* subKey = nullptr);

    Handle root() const { return root_; }
    Handle handle() const { return handle_; }
    const std::string& path() const { return path_; }
    int writable() const { return writable_; }

private:
    std::uint32_t Access() const;
    int QueryFixed(void* value, std::uint32_t size, const char* name);
    int SetBytes(std::uint32_t type, const void* data, std::uint32_t size, const char* name);
    int WriteText(const std::string& text, const char* name, const char* subKey);

    Handle root_;
    Handle handle_ = 0;
    std::string path_;
    int writable_;
};

}  // namespace kestar
