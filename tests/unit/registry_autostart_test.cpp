// The Run key as autostart entries, and the quoting of the program path in them.
#include "settings_test_env.h"

#include "platform/registry_autostart.h"

#include <filesystem>

using namespace platform;

namespace {

const std::string kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

TEST(DesktopExecQuoteTest, EscapesEverythingTheExecRulesReserve)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/usr/bin/lumbra", "\"/usr/bin/lumbra\""},
        {"/opt/My Apps/lumbra", "\"/opt/My Apps/lumbra\""},
        // " ` $ \ are escaped with a backslash, % is doubled; then every
        // backslash is doubled again by the file's own string escapes.
        {"/a\"b`c$d\\e%f", "\"/a\\\\\"b\\\\`c\\\\$d\\\\\\\\e%%f\""},
        {"/tab\there/new\nline", "\"/tab\\there/new\\nline\""},
    };
    for (const auto& [program, expected] : cases) {
        EXPECT_EQ(DesktopExecQuote(program), expected) << program;
        std::string back;
        ASSERT_TRUE(DesktopExecUnquote(expected, back)) << expected;
        EXPECT_EQ(back, program);
    }
    std::string out = "kept";
    for (const char* bad : {"", "\"", "/no/quotes", "\"a\"b\"", "\"lone % sign\"", "\"ends with \\\\\""})
        EXPECT_FALSE(DesktopExecUnquote(bad, out)) << bad;
    EXPECT_EQ(out, "kept");
}

using RunKeyTest = StoreTestEnv;

TEST_F(RunKeyTest, SettingAValueWritesAnEntryThatRunsThePath)
{
    TestKey run(kRunKey);
    ASSERT_EQ(run.status, ERROR_SUCCESS);
    ASSERT_EQ(run.SetText("Lumbra", "/opt/Lumbra $1/lumbra"), ERROR_SUCCESS);

    const std::string entry = ReadFile(AutostartFile());
    EXPECT_NE(entry.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(entry.find("\nType=Application\n"), std::string::npos);
    EXPECT_NE(entry.find("\nExec=\"/opt/Lumbra \\\\$1/lumbra\"\n"), std::string::npos) << entry;

    std::uint32_t type = 0;
    std::string data;
    ASSERT_EQ(run.Get("Lumbra", type, data), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data, std::string("/opt/Lumbra $1/lumbra") + '\0');
}

TEST_F(RunKeyTest, DeletingRemovesTheEntryAndAMissingOneIsAnAbsentValue)
{
    TestKey run(kRunKey);
    ASSERT_EQ(run.SetText("Lumbra", "/usr/bin/lumbra"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(run.handle, "Lumbra"), ERROR_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(AutostartFile()));
    EXPECT_EQ(RegDeleteValueA(run.handle, "Lumbra"), ERROR_FILE_NOT_FOUND);
    std::uint32_t type = 0;
    std::string data;
    EXPECT_EQ(run.Get("Lumbra", type, data), ERROR_FILE_NOT_FOUND);
}

TEST_F(RunKeyTest, RefusesWhatCannotBecomeAnEntry)
{
    TestKey run(kRunKey);
    EXPECT_EQ(run.SetDword("Lumbra", 1), ERROR_INVALID_DATA);
    EXPECT_EQ(run.SetText("Lumbra", ""), ERROR_INVALID_DATA);
    EXPECT_EQ(run.SetText("Lumbra", "/bad/\xff"), ERROR_INVALID_DATA);
    EXPECT_EQ(run.SetText("../escape", "/usr/bin/x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(run.SetText("a/b", "/usr/bin/x"), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(std::filesystem::exists(ConfigHome() + "/autostart/Lumbra.desktop"));
    EXPECT_FALSE(std::filesystem::exists(ConfigHome() + "/escape.desktop"));
}

TEST(OwnExecutablePathTest, IsTheAbsolutePathOfThisProcess)
{
    std::string path;
    ASSERT_EQ(GetOwnExecutablePath(path), ERROR_SUCCESS);
    EXPECT_EQ(path.front(), '/');
    EXPECT_TRUE(std::filesystem::equivalent(path, "/proc/self/exe"));
}

}  // namespace
