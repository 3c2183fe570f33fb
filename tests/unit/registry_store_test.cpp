// The registry store through its public operations: key handling, value
// semantics and the text file they leave behind.
#include "settings_test_env.h"

#include "platform/registry_format.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

using namespace platform;

namespace {

const std::string kKey = "SOFTWARE\\Tessaly\\Lumbra";

mode_t ModeOf(const std::string& path)
{
    struct stat info{};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777;
}

using RegistryKeyTest = StoreTestEnv;

TEST_F(RegistryKeyTest, CreateMakesAPrivateFileAndOpenFindsIt)
{
    HKEY key{};
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKey, KEY_READ, key), ERROR_FILE_NOT_FOUND);

    std::uint32_t disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, KEY_READ | KEY_WRITE, key, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(ModeOf(SettingsFile()), 0600u);
    EXPECT_EQ(ModeOf(ConfigHome() + "/Tessaly"), 0700u);

    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, KEY_READ, key, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKey, KEY_READ, key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryKeyTest, StaleAndUnusableHandlesAndPathsAreRefused)
{
    HKEY key{};
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, KEY_READ | KEY_WRITE, key), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    std::uint32_t size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Port", nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValueExA(static_cast<HKEY>(12345), "Port", REG_DWORD, &size, 4), ERROR_INVALID_HANDLE);

    for (const char* bad : {"SOFTWARE", "HARDWARE\\Tessaly", "SOFTWARE\\..\\x", "SOFTWARE\\a/b", "SOFTWARE\\\\x", ""}) {
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, bad, KEY_READ, key), ERROR_INVALID_PARAMETER) << bad;
    }
    EXPECT_FALSE(std::filesystem::exists(ConfigHome() + "/x.reg"));
}

TEST_F(RegistryKeyTest, AKeyFileRemovedWhileOpenIsNotAnAbsentValue)
{
    TestKey key;
    ASSERT_EQ(key.SetDword("Port", 21), ERROR_SUCCESS);
    std::filesystem::remove(SettingsFile());
    std::uint32_t type = 0;
    std::string data;
    EXPECT_EQ(key.Get("Port", type, data), ERROR_KEY_DELETED);
    EXPECT_EQ(key.SetDword("Port", 21), ERROR_KEY_DELETED);
    EXPECT_FALSE(std::filesystem::exists(SettingsFile()));
}

using RegistryValueTest = StoreTestEnv;

TEST_F(RegistryValueTest, QueryReportsSizesAndRefusesSmallBuffers)
{
    TestKey key;
    ASSERT_EQ(key.SetText("HomePath", "/srv/scan"), ERROR_SUCCESS);

    std::uint32_t type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(key.handle, "Missing", &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegQueryValueExA(key.handle, "HomePath", &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 10u);

    char small[4] = {'x', 'x', 'x', 'x'};
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key.handle, "HomePath", &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(std::string(small, 4), "xxxx");

    char exact[10];
    size = sizeof exact;
    ASSERT_EQ(RegQueryValueExA(key.handle, "HomePath", nullptr, exact, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(exact, size), std::string("/srv/scan") + '\0');
    EXPECT_EQ(RegQueryValueExA(key.handle, "HomePath", nullptr, exact, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryValueTest, AccessRightsOfTheHandleAreEnforced)
{
    TestKey writer;
    ASSERT_EQ(writer.SetDword("Port", 21), ERROR_SUCCESS);
    TestKey reader(kKey, KEY_QUERY_VALUE);
    EXPECT_EQ(reader.SetDword("Port", 22), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(reader.handle, "Port"), ERROR_ACCESS_DENIED);
    std::uint32_t type = 0;
    std::string data;
    EXPECT_EQ(reader.Get("Port", type, data), ERROR_SUCCESS);
}

TEST_F(RegistryValueTest, EveryKindOfValueSurvivesTheFileWholly)
{
    std::string allBytes;
    for (int b = 0; b < 256; ++b)
        allBytes += static_cast<char>(b);
    const std::pair<std::string, RegValue> values[] = {
        {"Escapes", {REG_SZ, std::string("C:\\VESK \"SCAN\"\\") + '\0'}},
        {"Korean", {REG_SZ, std::string("/home/u/스캔 폴더") + '\0'}},
        {"NoTerminator", {REG_SZ, "abc"}},
        {"InnerNul", {REG_SZ, std::string("ab\0cd\0", 6)}},
        {"Newline", {REG_SZ, std::string("line1\nline2") + '\0'}},
        {"NotUtf8", {REG_SZ, std::string("\xff\xfe") + '\0'}},
        {"EmptyText", {REG_SZ, ""}},
        {"Expand", {REG_EXPAND_SZ, std::string("%HOME%\\x") + '\0'}},
        {"Dword", {REG_DWORD, std::string("\x15\0\0\0", 4)}},
        {"ShortDword", {REG_DWORD, "\x01\x02"}},
        {"Binary", {REG_BINARY, allBytes}},
        {"EmptyBinary", {REG_BINARY, ""}},
        {"OddType", {0x1234, "\x7f"}},
        {"", {REG_SZ, std::string("default") + '\0'}},
        {"Name \"with\" \\ marks", {REG_DWORD, std::string(4, '\0')}},
    };
    {
        TestKey key;
        for (const auto& [name, value] : values)
            ASSERT_EQ(key.Set(name, value.type, value.data), ERROR_SUCCESS) << name;
    }
    TestKey key;
    for (const auto& [name, value] : values) {
        RegValue read;
        ASSERT_EQ(key.Get(name, read.type, read.data), ERROR_SUCCESS) << name;
        EXPECT_EQ(read, value) << name;
    }
}

TEST_F(RegistryValueTest, NamesMatchWithoutRegardToCaseAndDeleteTellsAbsence)
{
    TestKey key;
    ASSERT_EQ(key.SetDword("Port", 21), ERROR_SUCCESS);
    ASSERT_EQ(key.SetDword("PORT", 2121), ERROR_SUCCESS);
    std::uint32_t type = 0;
    std::string data;
    ASSERT_EQ(key.Get("port", type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, std::string("\x49\x08\0\0", 4));

    EXPECT_EQ(RegDeleteValueA(key.handle, "pOrT"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key.handle, "Port"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.Get("Port", type, data), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.Set("bad\nname", REG_DWORD, "1234"), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryValueTest, TheFileIsPlainRegedit4Text)
{
    {
        TestKey key;
        ASSERT_EQ(key.SetDword("Port", 21), ERROR_SUCCESS);
        ASSERT_EQ(key.SetText("HomePath", "/home/u/VESK_SCAN"), ERROR_SUCCESS);
        ASSERT_EQ(key.Set("Password", REG_BINARY, std::string("\xb3\x00\x41", 3)), ERROR_SUCCESS);
        ASSERT_EQ(key.Set("Path", REG_EXPAND_SZ, std::string("a\\b") + '\0'), ERROR_SUCCESS);
    }
    EXPECT_EQ(ReadFile(SettingsFile()),
              "REGEDIT4\n"
              "\n"
              "[HKEY_CURRENT_USER\\SOFTWARE\\Tessaly\\Lumbra]\n"
              "\"HomePath\"=\"/home/u/VESK_SCAN\"\n"
              "\"Password\"=hex:b3,00,41\n"
              "\"Path\"=hex(2):61,5c,62,00\n"
              "\"Port\"=dword:00000015\n"
              "\n");
}

}  // namespace
