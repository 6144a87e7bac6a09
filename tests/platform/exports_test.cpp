// The built module as a host sees it: 32-bit, three undecorated entry points at fixed ordinals.
#include "loaded_module.h"
#include "support/test_support.h"

#include "host/module_source.h"
#include "kestar_source.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestar::testing {
namespace {

using tools::LoadedModule;

TEST(ModuleShape, ExportsTheThreeEntryPointsUndecorated) {
    LoadedModule module(BuiltModulePath());
    ASSERT_TRUE(module.loaded()) << module.error();
    EXPECT_NE(module.getCommData, nullptr);
    EXPECT_NE(module.initializeCommunications, nullptr);
    EXPECT_NE(module.terminateCommunications, nullptr);
    EXPECT_EQ(module.Symbol("GetCommData@4"), nullptr);
    EXPECT_EQ(module.Symbol("_GetCommData@4"), nullptr);
    EXPECT_EQ(module.Symbol("InitializeCommunications@12"), nullptr);
}

// The module file itself names its version and commit, with or without a version resource.
TEST(ModuleShape, NamesItsVersionAndCommitInTheFile) {
    std::ifstream file(BuiltModulePath(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(bytes.empty());
    const std::string expected = std::string(kModuleSourceMarker) + KESTAR_BUILD_TEXT + '\0';
    EXPECT_NE(bytes.find(expected), std::string::npos) << expected;
    EXPECT_NE(std::string(KESTAR_BUILD_TEXT).find(KESTAR_COMMIT), std::string::npos);
}

#if defined(_WIN32)
// Reads the export directory straight from the file, as a loader does.
struct ExportTable {
    std::uint32_t base = 0;
    std::uint32_t addressCount = 0;
    std::map<std::uint32_t, std::string> namesByOrdinal;
    std::vector<std::uint32_t> addresses;
};

template <typename T>
T Read(const std::vector<unsigned char>& file, std::size_t at) {
    if (at + sizeof(T) > file.size()) throw std::out_of_range("read beyond the end of the file");
    T value;
    std::memcpy(&value, file.data() + at, sizeof value);
    return value;
}
std::uint32_t U32(const std::vector<unsigned char>& f, std::size_t at) { return Read<std::uint32_t>(f, at); }
std::uint16_t U16(const std::vector<unsigned char>& f, std::size_t at) { return Read<std::uint16_t>(f, at); }

ExportTable ReadExportTable(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ExportTable table;
    const std::size_t pe = U32(file, 0x3C);
    EXPECT_EQ(U32(file, pe), 0x00004550u);  // "PE\0\0"
    const std::size_t optional = pe + 24;
    EXPECT_EQ(U16(file, optional), 0x10Bu) << "PE32, a 32-bit image";
    const std::uint16_t sections = U16(file, pe + 6);
    const std::uint16_t optionalSize = U16(file, pe + 20);
    const std::uint32_t exportRva = U32(file, optional + 96);
    const std::size_t sectionTable = optional + optionalSize;
    auto toOffset = [&](std::uint32_t rva) -> std::size_t {
        for (std::uint16_t i = 0; i < sections; ++i) {
            const std::size_t s = sectionTable + i * 40u;
            const std::uint32_t va = U32(file, s + 12), size = U32(file, s + 8), raw = U32(file, s + 20);
            if (rva >= va && rva < va + size) return rva - va + raw;
        }
        return 0;
    };
    const std::size_t dir = toOffset(exportRva);
    table.base = U32(file, dir + 16);
    table.addressCount = U32(file, dir + 20);
    const std::uint32_t nameCount = U32(file, dir + 24);
    const std::size_t functions = toOffset(U32(file, dir + 28));
    const std::size_t names = toOffset(U32(file, dir + 32));
    const std::size_t ordinals = toOffset(U32(file, dir + 36));
    for (std::uint32_t i = 0; i < table.addressCount; ++i) table.addresses.push_back(U32(file, functions + 4 * i));
    for (std::uint32_t i = 0; i < nameCount; ++i) {
        const char* name = reinterpret_cast<const char*>(&file.at(toOffset(U32(file, names + 4 * i))));
        table.namesByOrdinal[table.base + U16(file, ordinals + 2 * i)] = name;
    }
    return table;
}

TEST(ModuleShape, ExportTableHasBaseTenFiveSlotsAndNamesAtTenTwelveFourteen) {
    ExportTable table = ReadExportTable(BuiltModulePath());
    EXPECT_EQ(table.base, 10u);
    ASSERT_EQ(table.addressCount, 5u);
    EXPECT_EQ(table.addresses[1], 0u) << "ordinal 11 is empty";
    EXPECT_EQ(table.addresses[3], 0u) << "ordinal 13 is empty";
    const std::map<std::uint32_t, std::string> expected = {
        {10, "GetCommData"}, {12, "InitializeCommunications"}, {14, "TerminateCommunications"}};
    EXPECT_EQ(table.namesByOrdinal, expected);
}

std::string VersionString(const std::vector<char>& info, const char* name) {
    char* value = nullptr;
    UINT length = 0;
    const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) || value == nullptr)
        return "(missing)";
    return std::string(value);
}

// Both shipped Windows files name the version and the commit they were built from.
TEST(ModuleShape, CarriesVersionInformationOfTheProjectAndTheCommit) {
    const struct {
        std::string path;
        const char* fileName;
        DWORD fileType;
    } files[] = {
        {BuiltModulePath(), "KESTAR.dll", VFT_DLL},
        {ExecutableDirectory() + "\\kestar-host.exe", "kestar-host.exe", VFT_APP},
    };
    for (const auto& file : files) {
        SCOPED_TRACE(file.fileName);
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeA(file.path.c_str(), &ignored);
        ASSERT_GT(size, 0u);
        std::vector<char> info(size);
        ASSERT_TRUE(GetFileVersionInfoA(file.path.c_str(), 0, size, info.data()));
        EXPECT_EQ(VersionString(info, "OriginalFilename"), file.fileName);
        EXPECT_EQ(VersionString(info, "FileVersion"), KESTAR_VERSION);
        EXPECT_EQ(VersionString(info, "ProductVersion"), KESTAR_BUILD_TEXT);
        EXPECT_EQ(VersionString(info, "SourceCommit"), KESTAR_COMMIT);
        EXPECT_NE(VersionString(info, "FileDescription").find("KESTAR"), std::string::npos);
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        EXPECT_EQ(fixed->dwFileType, file.fileType);
    }
}
#endif

}  // namespace
}  // namespace kestar::testing
