// INI cases with the answers the Windows profile reader gives. On Windows each case
// runs through GetPrivateProfileStringA and through the portable reader, so the two
// are held side by side; on POSIX the portable reader is the system one.
#include "platform/profile.h"

#include "support/scratch_folder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kestar::platform {
namespace {

using namespace std::string_literals;

struct IniCase {
    const char* what;
    std::string file;
    std::string section;
    std::string key;
    std::uint32_t size;
    std::string answer;  // empty: not found
};

const std::string kMain =
    "; comment\r\n[Parameters]\r\n  Key1  =  value one  \r\nkey2=\"quoted\"\r\nkey3='single'\r\nkey4=\"half\r\n"
    "key5= \"  spaced \" \r\nkey6=\r\nkey7 = a=b\r\n;key8=commented\r\n  ;key9=indented\r\nnoequals\r\n"
    "key11=first\r\nKEY11=second\r\nkey12=x ; trailing\r\nkey13=\"a\" b\"\r\nkey14=\"\"\r\n\tkey15\t=\ttabbed\t\r\n"
    "key16=\"'\r\nk2=\"  \"\r\nk3=\" \r\n\v\f k17 \v= v17 \f\r\n[ Other ]\r\nkey1=other\r\n[parameters]\r\n"
    "key20=second section\r\nkey1=dup section\r\n";

// text as UTF-16 big-endian with its byte order mark.
std::string Utf16Be(const std::string& text) {
    std::string wide = "\xfe\xff";
    for (char c : text) {
        wide += '\0';
        wide += c;
    }
    return wide;
}

std::vector<IniCase> Cases() {
    const std::string p = "Parameters";
    return {
        {"blanks around the key and value are trimmed", kMain, p, "Key1", 128, "value one"},
        {"key names ignore case", kMain, p, "KEY1", 128, "value one"},
        {"section names ignore case", kMain, "PARAMETERS", "key1", 128, "value one"},
        {"blanks around the requested names are trimmed", kMain, " parameters ", " key1 ", 128, "value one"},
        {"double quotes are removed", kMain, p, "key2", 128, "quoted"},
        {"single quotes are removed", kMain, p, "key3", 128, "single"},
        {"an unmatched quote stays", kMain, p, "key4", 128, "\"half"},
        {"blanks inside the quotes stay", kMain, p, "key5", 128, "  spaced "},
        {"only blanks in quotes", kMain, p, "k2", 128, "  "},
        {"a lone quote stays", kMain, p, "k3", 128, "\""},
        {"different quotes stay", kMain, p, "key16", 128, "\"'"},
        {"outer quotes only", kMain, p, "key13", 128, "a\" b"},
        {"empty quotes are an empty value", kMain, p, "key14", 128, ""},
        {"nothing after the equals sign", kMain, p, "key6", 128, ""},
        {"the value runs past a second equals sign", kMain, p, "key7", 128, "a=b"},
        {"a semicolon line does not answer for the key", kMain, p, "key8", 128, ""},
        {"a semicolon line is a key of that name", kMain, p, ";key8", 128, "commented"},
        {"an indented semicolon line does not answer either", kMain, p, "key9", 128, ""},
        {"a line without equals has no value", kMain, p, "noequals", 128, ""},
        {"the first of two keys wins", kMain, p, "key11", 128, "first"},
        {"a semicolon later in the value is part of it", kMain, p, "key12", 128, "x ; trailing"},
        {"tabs are blanks", kMain, p, "key15", 128, "tabbed"},
        {"vertical tabs and form feeds are blanks", kMain, p, "k17", 128, "v17"},
        {"a second section of the same name is never read", kMain, p, "key20", 128, ""},
        {"blanks inside the brackets are trimmed", kMain, "Other", "key1", 128, "other"},
        {"a missing section", kMain, "Nope", "key1", 128, ""},
        {"a missing key", kMain, p, "missing", 128, ""},
        {"values are cut to the buffer", "[Parameters]\nlong=" + std::string(200, 'v') + "\n", p, "long", 128,
         std::string(127, 'v')},
        {"a small buffer takes size - 1", "[Parameters]\nlong=" + std::string(200, 'v') + "\n", p, "long", 10,
         std::string(9, 'v')},
        {"quotes are removed before the cut", "[Parameters]\r\nq=\"" + std::string(200, 'w') + "\"\r\n", p, "q",
         128, std::string(127, 'w')},
        {"LF line ends", "[Parameters]\nlf=unix\nlast=end", p, "lf", 128, "unix"},
        {"the last line without a line end", "[Parameters]\nlf=unix\nlast=end", p, "last", 128, "end"},
        {"a CR alone ends a line", "[Parameters]\r\ncr=a\rb=c\r\n", p, "cr", 128, "a"},
        {"after a lone CR a new line starts", "[Parameters]\r\ncr=a\rb=c\r\n", p, "b", 128, "c"},
        {"control bytes pass through", "[Parameters]\r\nbin=a\x01\x02\xff b\r\n", p, "bin", 128, "a\x01\x02\xff b"},
        {"a zero byte ends the value", "[Parameters]\r\nnul=x\0y=z\r\nafter=ok\r\n"s, p, "nul",
         128, "x"},
        {"the rest of a line after a zero byte is ignored", "[Parameters]\r\nnul=x\0y=z\r\n"s, p,
         "y", 128, ""},
        {"lines after a zero byte are read", "[Parameters]\r\nnul=x\0y=z\r\nafter=ok\r\n"s, p,
         "after", 128, "ok"},
        {"a UTF-8 byte order mark is skipped", "\xef\xbb\xbf[Parameters]\r\nbom=yes\r\n", p, "bom", 128, "yes"},
        {"a UTF-16 file is read", "\xff\xfe[\0P\0]\0\r\0\n\0a\0=\0b\0\r\0\n\0"s, "P", "a", 128,
         "b"},
        {"a UTF-16 big-endian file is read", Utf16Be("[Parameters]\r\nPORT1=Probe 3\r\nkey=x\r\n"), p, "PORT1",
         128, "Probe 3"},
        {"a UTF-16 big-endian file is read to its last key", Utf16Be("[Parameters]\r\nPORT1=Probe 3\r\nkey=x\r\n"), p,
         "key", 128, "x"},
        {"a zero unit ends a UTF-16 big-endian value", Utf16Be("[Parameters]\r\nk=ab\0cd\r\n"s), p, "k", 128, "ab"},
        {"a UTF-16 big-endian file of odd length", Utf16Be("[Parameters]\r\nkey=x\r\n") + "\0"s, p, "key", 128, "x"},
        {"a zero byte inside a port line ends it", "[Parameters]\r\nPORT1=Pro\0be 3\r\nPORT2=ok\r\n"s, p, "PORT1",
         128, "Pro"},
        {"a zero byte before the section hides it", "\0[Parameters]\r\nPORT1=Probe 3\r\n"s, p, "PORT1", 128, ""},
        {"a bracket without its end is no section", "[Parameters\r\nopen=1\r\n", p, "open", 128, ""},
        {"text after the closing bracket is ignored", "[Parameters] junk\r\nj=2\r\n", p, "j", 128, "2"},
        {"the name runs to the last bracket", "[Param]eters]\r\nz=1\r\n", "Param]eters", "z", 128, "1"},
        {"keys before any section belong to none", "key=before\r\n[Parameters]\r\nkey=in\r\n", p, "key", 128, "in"},
        {"blanks inside a key name stay", "[Parameters]\r\n k e y = spaced key\r\n", p, "k e y", 128, "spaced key"},
        {"a very long line", "[Parameters]\r\nx=" + std::string(5000, 'q') + "\r\ny=after\r\n", p, "y", 128,
         "after"},
        {"a very long key", "[Parameters]\r\n" + std::string(3000, 'k') + "=long key\r\n", p, std::string(3000, 'k'),
         128, "long key"},
        {"an empty section name finds nothing", "[]\r\ne=empty\r\n", "", "e", 128, ""},
        // Unicode text in the ANSI code page (1252): exact, by best fit, or '?' (U+1F600: one a unit).
        {"UTF-8 with its mark is converted", "\xEF\xBB\xBF[P]\r\nu=\xC3\xA9\xCE\xA9\xE2\x82\xAC\xE4\xB8\xAD\xF0\x9F\x98\x80!\r\n",
         "P", "u", 128, "\xE9O\x80?" "?" "?!"},
        {"UTF-16 is converted", "\xff\xfe" "[\0P\0]\0\r\0\n\0" "u\0=\0" "\xe9\0" "\xa9\x03" "\xac\x20" "\x2d\x4e" "\x3d\xd8\x00\xde" "!\0"s,
         "P", "u", 128, "\xE9O\x80?" "?" "?!"},
        {"broken UTF-8 reads as Windows reads it", "\xEF\xBB\xBF[P]\r\nu=\x80|\xC0\x80|\xE4\xB8!|\xED\xA0\x80|\xE0\x80\x80|\xF4\x90\x80\x80|\xE4\xB8\r\n",
         "P", "u", 128, "?|?" "?|?!|?" "?|?" "?|?" "?" "?|?"},
        {"UTF-8 without its mark is taken byte for byte", "[P]\r\nu=\xC3\xA9\r\n", "P", "u", 128, "\xC3\xA9"},
    };
}

class ProfileCases : public ::testing::TestWithParam<std::uint32_t (*)(const char*, const char*, const char*, char*,
                                                                       std::uint32_t, const char*)> {};

TEST_P(ProfileCases, EachCaseGivesTheWindowsAnswer) {
    testing::ScratchFolder scratch;
    const std::string path = scratch.Join("case.ini");
    for (const IniCase& c : Cases()) {
        ASSERT_TRUE(testing::WriteFileBytes(path, c.file));
        char buffer[512];
        std::memset(buffer, '#', sizeof buffer);
        std::uint32_t n = GetParam()(c.section.c_str(), c.key.c_str(), "", buffer, c.size, path.c_str());
        EXPECT_EQ(std::string(buffer, n), c.answer) << c.what;
        EXPECT_EQ(buffer[n], '\0') << c.what;
    }
}

TEST_P(ProfileCases, AMissingFileGivesTheDefault) {
    testing::ScratchFolder scratch;
    char buffer[16];
    std::uint32_t n = GetParam()("Parameters", "x", "dflt", buffer, sizeof buffer, scratch.Join("none.ini").c_str());
    EXPECT_EQ(std::string(buffer, n), "dflt");
}

std::uint32_t SystemReader(const char* s, const char* k, const char* d, char* b, std::uint32_t n, const char* p) {
    return ProfileDefaults().GetPrivateProfileString(s, k, d, b, n, p);
}

INSTANTIATE_TEST_SUITE_P(SystemReader, ProfileCases, ::testing::Values(&SystemReader));
INSTANTIATE_TEST_SUITE_P(PortableReader, ProfileCases, ::testing::Values(&ReadProfileString));

}  // namespace
}  // namespace kestar::platform
