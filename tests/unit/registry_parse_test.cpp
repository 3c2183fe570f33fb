// Reading key files as people edit them, and refusing files that are damaged.
#include "platform/registry.h"
#include "platform/registry_format.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

const std::string kHeader = "HKEY_CURRENT_USER\\SOFTWARE\\Tessaly\\Lumbra";

TEST(RegistryParseTest, AcceptsTheUsualHandEditedForms)
{
    const std::string text =
        "\xEF\xBB\xBFREGEDIT4\r\n"
        "\r\n"
        "; written by hand\r\n"
        "[hkey_current_user\\software\\tessaly\\lumbra]\r\n"
        "\"Port\" = DWORD:0000001F\r\n"
        "@=\"default\"\r\n"
        "\"Password\"=hex:B3,00,\\\r\n"
        "  41\r\n"
        "\"Odd\"=hex(1234):\r\n"
        "; a comment ending in a backslash \\\r\n"
        "\"Timeout\"=dword:00000005\r\n"
        "\r\n";
    RegValueMap values;
    ASSERT_TRUE(ParseRegFile(text, kHeader, values));
    EXPECT_EQ(values["Port"], (RegValue{REG_DWORD, std::string("\x1f\0\0\0", 4)}));
    EXPECT_EQ(values[""], (RegValue{REG_SZ, std::string("default") + '\0'}));
    EXPECT_EQ(values["Password"], (RegValue{REG_BINARY, std::string("\xb3\x00\x41", 3)}));
    EXPECT_EQ(values["Odd"], (RegValue{0x1234, ""}));
    EXPECT_EQ(values["Timeout"], (RegValue{REG_DWORD, std::string("\x05\0\0\0", 4)}));
}

TEST(RegistryParseTest, FormatThenParseGivesTheSameValues)
{
    RegValueMap values;
    values["A\\\"B"] = {REG_SZ, std::string("x\\\"y") + '\0'};
    values["Bin"] = {REG_BINARY, std::string("\0\xff", 2)};
    RegValueMap parsed;
    ASSERT_TRUE(ParseRegFile(FormatRegFile(kHeader, values), kHeader, parsed));
    EXPECT_EQ(parsed, values);
}

TEST(RegistryParseTest, RefusesDamagedFilesInsteadOfReadingPartOfThem)
{
    const std::string head = "REGEDIT4\n\n[" + kHeader + "]\n";
    const std::string damaged[] = {
        "",
        "\"Port\"=dword:00000015\n",                                  // no signature
        "REGEDIT4\n\"Port\"=dword:00000015\n",                        // value before the key
        "REGEDIT4\n[HKEY_CURRENT_USER\\SOFTWARE\\Other]\n",           // another key
        head + "[" + kHeader + "]\n",                                 // the key twice
        head + "\"Port\"=dword:000000150\n",                          // nine digits
        head + "\"Port\"=dword:\n",
        head + "\"Port\"=dword:xyz\n",
        head + "\"Password\"=hex:b3,,41\n",
        head + "\"Password\"=hex:b3,41,\n",
        head + "\"Password\"=hex:b3f\n",
        head + "\"Odd\"=hex(zz):00\n",
        head + "\"HomePath\"=\"unterminated\n",
        head + "\"HomePath\"=\"bad \\n escape\"\n",
        head + "\"HomePath\"=\"text\" trailing\n",
        head + "\"Port\"\n",
        head + "Port=dword:00000015\n",
        head + "\"Port\"=-\n",
        std::string("REGEDIT4\n\0garbage", 17),
    };
    for (const std::string& text : damaged) {
        RegValueMap values{{"Kept", {REG_DWORD, "1234"}}};
        EXPECT_FALSE(ParseRegFile(text + "\n", kHeader, values)) << text;  // closed as a writer would
        EXPECT_EQ(values.size(), 1u) << "output changed for: " << text;
    }
}

TEST(RegistryParseTest, RefusesFilesCutShortWhereverTheCutFalls)
{
    const std::string head = "REGEDIT4\n\n[" + kHeader + "]\n";
    // Without the closing empty line, at a line end or inside a number, the
    // values that are gone would silently take their defaults.
    for (const std::string& text : {head, head + "\"Port\"=dword:00000015\n", head + "\"Port\"=dword:00000015",
                                    head + "\"Port\"=dword:0000\n\n", head + "\"Password\"=hex:b3,4\n\n"}) {
        RegValueMap values;
        EXPECT_FALSE(ParseRegFile(text, kHeader, values)) << text;
    }
    RegValueMap values;
    EXPECT_TRUE(ParseRegFile(head + "\n", kHeader, values));
    EXPECT_TRUE(ParseRegFile(head + "\"Port\"=dword:00000015\r\n \r\n", kHeader, values));
}

TEST(RegistryParseTest, Utf8CheckRejectsMalformedSequences)
{
    EXPECT_TRUE(IsValidUtf8("plain"));
    EXPECT_TRUE(IsValidUtf8("\xec\x8a\xa4\xec\xba\x94"));  // 스캔
    EXPECT_TRUE(IsValidUtf8("\xf0\x9f\x93\xa0"));          // a four-byte sequence
    EXPECT_FALSE(IsValidUtf8("\xc0\xaf"));                 // overlong "/"
    EXPECT_FALSE(IsValidUtf8("\xed\xa0\x80"));             // a surrogate
    EXPECT_FALSE(IsValidUtf8("\xec\x8a"));                 // cut short
    EXPECT_FALSE(IsValidUtf8("\xf5\x80\x80\x80"));         // beyond U+10FFFF
}

}  // namespace
