// Unit REGKEY: the registry key wrapper.
#include "settings/regkey.h"

#include "platform/debug_assert.h"
#include "platform/text_format.h"

#include <cstdio>
#include <cstring>

#define REGKEY_ASSERT(condition) KESTAR_ASSERT_UNIT("REGKEY", condition)

namespace kestar {
namespace {

using platform::Registry;

bool Succeeded(long status) { return status == platform::kRegSuccess; }

// Texts of whatever length the values need ("%f" of 1e300 is long).
using platform::FormatText;

}  // namespace

RegKey::RegKey(Handle root, const std::string& path, int writable) : root_(root), path_(path), writable_(writable) {}

RegKey::~RegKey() { Close(); }

std::uint32_t RegKey::Access() const { return writable_ != 0 ? platform::kKeyAllAccess : platform::kKeyRead; }

int RegKey::Open() {
    REGKEY_ASSERT(root_ != 0);
    REGKEY_ASSERT(!path_.empty());
    return OpenAt(root_, path_, writable_);
}

int RegKey::OpenAt(Handle root, const std::string& path, int writable) {
    REGKEY_ASSERT(root != 0);
    writable_ = writable;
    return Succeeded(Registry().OpenKeyEx(root, path.c_str(), 0, Access(), &handle_)) ? 1 : 0;
}

int RegKey::OpenChild(Handle parent, const char* subKey) {
    REGKEY_ASSERT(parent != 0);
    handle_ = parent;
    return Succeeded(Registry().OpenKey(parent, subKey, &handle_)) ? 1 : 0;
}

int RegKey::Create() {
    REGKEY_ASSERT(root_ != 0);
    REGKEY_ASSERT(!path_.empty());
    std::uint32_t disposition = 0;
    return Succeeded(Registry().CreateKeyEx(root_, path_.c_str(), 0, Access(), &handle_, &disposition)) ? 1 : 0;
}

int RegKey::CreateAt(Handle parent, const char* path) {
    REGKEY_ASSERT(parent != 0);
    REGKEY_ASSERT(path != nullptr);
    if (root_ == 0) root_ = parent;
    return Succeeded(Registry().CreateKey(root_, path, &handle_)) ? 1 : 0;
}

int RegKey::OpenOrCreate(const char* subKey) {
    std::string full = path_;
    if (subKey != nullptr) {
        full += '\\';
        full += subKey;
    }
    if (OpenAt(root_, full, writable_)) return 1;
    return CreateAt(root_, full.c_str());
}

int RegKey::Close() {
    if (handle_ == 0) return 1;
    long status = Registry().CloseKey(handle_);
    handle_ = 0;
    return Succeeded(status) ? 1 : 0;
}

int RegKey::DeleteSubKey(const char* name) { return Succeeded(Registry().DeleteKey(handle_, name)) ? 1 : 0; }

int RegKey::QueryString(std::string& value, const char* name) {
    REGKEY_ASSERT(handle_ != 0);
    REGKEY_ASSERT(!path_.empty());
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    if (!Succeeded(Registry().QueryValueEx(handle_, name, &type, nullptr, &size))) return 1;
    if (type != platform::kRegSz) return 0;
    // One spare zero byte, so a value stored without its terminator still ends.
    std::vector<unsigned char> bytes(static_cast<std::size_t>(size) + 1, 0);
    std::uint32_t got = size;
    if (!Succeeded(Registry().QueryValueEx(handle_, name, &type, bytes.data(), &got))) return 0;
    if (got > size) got = size;
    const void* zero = std::memchr(bytes.data(), 0, got);
    const std::size_t length = zero != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char*>(zero) - bytes.data()) : got;
    value.assign(reinterpret_cast<const char*>(bytes.data()), length);
    return 1;
}

int RegKey::QueryFixed(void* value, std::uint32_t expected, const char* name) {
    REGKEY_ASSERT(handle_ != 0);
    REGKEY_ASSERT(!path_.empty());
    std::uint32_t type = 0;
    std::uint32_t size = expected;
    if (!Succeeded(Registry().QueryValueEx(handle_, name, &type, nullptr, &size))) return 1;
    if (type != platform::kRegBinary || size != expected) return 0;
    // Read into a side area first: a value changed in between must not half-fill the output.
    std::vector<unsigned char> bytes(expected > 0 ? expected : 1);
    std::uint32_t got = expected;
    if (!Succeeded(Registry().QueryValueEx(handle_, name, &type, bytes.data(), &got)) || got != expected ||
        type != platform::kRegBinary) {
        return 0;
    }
    if (expected > 0) std::memcpy(value, bytes.data(), expected);
    return 1;
}

int RegKey::QueryInt(std::int32_t& value, const char* name) { return QueryFixed(&value, sizeof value, name); }

int RegKey::QueryDouble(double& value, const char* name) { return QueryFixed(&value, sizeof value, name); }

int RegKey::QueryBinary(RegBlock& block, const char* name) {
    return QueryFixed(block.data(), static_cast<std::uint32_t>(block.size()), name);
}

int RegKey::SetBytes(std::uint32_t type, const void* data, std::uint32_t size, const char* name) {
    if (writable_ == 0) return 1;
    REGKEY_ASSERT(handle_ != 0);
    REGKEY_ASSERT(!path_.empty());
    return Succeeded(Registry().SetValueEx(handle_, name, type, static_cast<const unsigned char*>(data), size)) ? 1 : 0;
}

int RegKey::SetString(const std::string& value, const char* name) {
    return SetBytes(platform::kRegSz, value.c_str(), static_cast<std::uint32_t>(value.size() + 1), name);
}

int RegKey::SetInt(std::int32_t value, const char* name) {
    return SetBytes(platform::kRegBinary, &value, sizeof value, name);
}

int RegKey::SetDouble(double value, const char* name) {
    return SetBytes(platform::kRegBinary, &value, sizeof value, name);
}

int RegKey::SetBinary(const RegBlock& block, const char* name) {
    static const unsigned char nothing = 0;
    return SetBytes(platform::kRegBinary, block.empty() ? &nothing : block.data(),
                    static_cast<std::uint32_t>(block.size()), name);
}

int RegKey::ReadString(std::string& value, const std::string& defaultValue, const char* name, const char* subKey) {
    REGKEY_ASSERT(root_ != 0);
    REGKEY_ASSERT(!path_.empty());
    if (!OpenOrCreate(subKey)) return 0;
    value = defaultValue;
    if (!QueryString(value, name)) return 0;
    return Close();
}

int RegKey::WriteString(const std::string& value, const char* name, const char* subKey) {
    if (writable_ == 0) return 1;
    REGKEY_ASSERT(root_ != 0);
    REGKEY_ASSERT(!path_.empty());
    if (!OpenOrCreate(subKey)) return 0;
    if (!SetString(value, name)) return 0;
    return Close();
}

int RegKey::ReadInt(std::int32_t& value, std::int32_t defaultValue, const char* name, const char* subKey) {
    REGKEY_ASSERT(root_ != 0);
    REGKEY_ASSERT(!path_.empty());
    if (!OpenOrCreate(subKey)) return 0;
    value = defaultValue;
    int result = QueryInt(value, name);
    return Close() ? result : 0;
}

int RegKey::WriteInt(std::int32_t value, const char* name, const char* subKey) {
    if (writable_ == 0) return 1;
    REGKEY_ASSERT(root_ != 0);
    REGKEY_ASSERT(!path_.empty());
    if (!OpenOrCreate(subKey)) return 0;
    if (!SetInt(value, name)) return 0;
    return Close();
}

int RegKey::ReadBinary(RegBlock& block, const char* name, const char* subKey) {
    REGKEY_ASSERT(root_ != 0);
    REGKEY_ASSERT(!path_.empty());
    REGKEY_ASSERT(subKey != nullptr);
    if (!OpenOrCreate(subKey != nullptr ? subKey : "")) return 0;
    int result = QueryBinary(block, name);
    return Close() ? result : 0;
}

int RegKey::WriteBinary(const RegBlock& block, const char* name, const char* subKey) {
    if (writable_ == 0) return 1;
    REGKEY_ASSERT(root_ != 0);
    REGKEY_ASSERT(!path_.empty());
    REGKEY_ASSERT(subKey != nullptr);
    if (!OpenOrCreate(subKey != nullptr ? subKey : "")) return 0;
    if (!SetBinary(block, name)) return 0;
    return Close();
}

int RegKey::ReadRect(RegRect& value, const RegRect& defaultValue, const char* name, const char* subKey) {
    REGKEY_ASSERT(root_ != 0);
    REGKEY_ASSERT(!path_.empty());
    if (!OpenOrCreate(subKey)) return 0;
    value = defaultValue;
    std::string text = FormatText("%d %d %d %d", static_cast<int>(value.left), static_cast<int>(value.top),
                              static_cast<int>(value.right), static_cast<int>(value.bottom));
    int result = QueryString(text, name);
    int fields[4] = {value.left, value.top, value.right, value.bottom};
    std::sscanf(text.c_str(), "%d %d %d %d", &fields[0], &fields[1], &fields[2], &fields[3]);
    value = RegRect{fields[0], fields[1], fields[2], fields[3]};
    return Close() ? result : 0;
}

int RegKey::WriteText(const std::string& text, const char* name, const char* subKey) {
    REGKEY_ASSERT(root_ != 0);
    REGKEY_ASSERT(!path_.empty());
    if (!OpenOrCreate(subKey)) return 0;
    int result = SetString(text, name);
    return Close() ? result : 0;
}

int RegKey::WriteRect(const RegRect& value, const char* name, const char* subKey) {
    if (writable_ == 0) return 1;
    return WriteText(FormatText("%d %d %d %d", static_cast<int>(value.left), static_cast<int>(value.top),
                            static_cast<int>(value.right), static_cast<int>(value.bottom)),
                     name, subKey);
}

int RegKey::ReadInt3(std::int32_t& a, std::int32_t& b, std::int32_t& c, const char* defaultText, const char* name,
                     const char* subKey) {
    REGKEY_ASSERT(root_ != 0);
    REGKEY_ASSERT(!path_.empty());
    if (!OpenOrCreate(subKey)) return 0;
    std::string text = defaultText != nullptr ? defaultText : "";
    if (!QueryString(text, name)) return 0;
    int values[3] = {a, b, c};
    std::sscanf(text.c_str(), "%d %d %d", &values[0], &values[1], &values[2]);
    a = values[0];
    b = values[1];
    c = values[2];
    return Close();
}

int RegKey::WriteInt3(std::int32_t a, std::int32_t b, std::int32_t c, const char* name, const char* subKey) {
    if (writable_ == 0) return 1;
    return WriteText(FormatText("%d %d %d", static_cast<int>(a), static_cast<int>(b), static_cast<int>(c)), name, subKey);
}

int RegKey::ReadReal(double& value, double defaultValue, const char* name, const char* subKey) {
    REGKEY_ASSERT(root_ != 0);
    REGKEY_ASSERT(!path_.empty());
    if (!OpenOrCreate(subKey)) return 0;
    std::string text = FormatText("%f", defaultValue);
    if (!QueryString(text, name)) return 0;
    float parsed = 0.0f;
    std::sscanf(text.c_str(), "%f", &parsed);
    value = static_cast<double>(parsed);
    return Close();
}

int RegKey::WriteReal(double value, const char* name, const char* subKey) {
    if (writable_ == 0) return 1;
    return WriteText(FormatText("%f", value), name, subKey);
}

int RegKey::ReadReal3(double& x, double& y, double& z, const char* defaultText, const char* name,
                      const char* subKey) {
    REGKEY_ASSERT(root_ != 0);
    REGKEY_ASSERT(!path_.empty());
    if (!OpenOrCreate(subKey)) return 0;
    std::string text = defaultText != nullptr ? defaultText : "";
    if (!QueryString(text, name)) return 0;
    float parsed[3] = {0.0f, 0.0f, 0.0f};
    std::sscanf(text.c_str(), "%f %f %f", &parsed[0], &parsed[1], &parsed[2]);
    x = static_cast<double>(parsed[0]);
    y = static_cast<double>(parsed[1]);
    z = static_cast<double>(parsed[2]);
    return Close();
}

int RegKey::WriteReal3(double x, double y, double z, const char* name, const char* subKey) {
    // Unlike the other setters this one reports the unwritten value as a failure.
    if (writable_ == 0) return 0;
    return WriteText(FormatText("%f %f %f", x, y, z), name, subKey);
}

}  // namespace kestar
