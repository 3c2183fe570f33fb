// What happens to the key file when things go wrong: a damaged file, a save
// cut short, and two processes writing at once.
#include "settings_test_env.h"

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

using namespace platform;

namespace {

using RegistryDurabilityTest = StoreTestEnv;

std::uint32_t ReadDword(const TestKey& key, const std::string& name)
{
    std::uint32_t type = 0, value = 0;
    std::string data;
    EXPECT_EQ(key.Get(name, type, data), ERROR_SUCCESS) << name;
    if (data.size() == 4)
        std::memcpy(&value, data.data(), 4);
    return value;
}

TEST_F(RegistryDurabilityTest, ADamagedFileIsReportedAndNeverRewritten)
{
    { TestKey create; }
    const std::string damaged = "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Tessaly\\Lumbra]\n\"Port\"=dword:zz\n";
    WriteFile(SettingsFile(), damaged);

    TestKey key;  // create-or-open keeps the file as it is
    ASSERT_EQ(key.status, ERROR_SUCCESS);
    std::uint32_t type = 0;
    std::string data;
    EXPECT_EQ(key.Get("Port", type, data), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(key.Get("Absent", type, data), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(key.SetDword("Port", 21), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegDeleteValueA(key.handle, "Port"), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(ReadFile(SettingsFile()), damaged);
}

TEST_F(RegistryDurabilityTest, ASaveCutShortBeforeTheRenameLeavesTheOldFile)
{
    TestKey key;
    ASSERT_EQ(key.SetDword("Port", 21), ERROR_SUCCESS);
    const std::string before = ReadFile(SettingsFile());

    std::string tempPath;
    SetBeforeReplaceHookForTesting([&](const std::string& path) {
        tempPath = path;
        return false;  // as if the machine stopped here
    });
    EXPECT_EQ(key.SetDword("Port", 2121), ERROR_CANTWRITE);
    SetBeforeReplaceHookForTesting({});

    ASSERT_TRUE(std::filesystem::exists(tempPath)) << "the complete temporary file stays behind";
    EXPECT_NE(ReadFile(tempPath), before);
    EXPECT_EQ(ReadFile(SettingsFile()), before);
    EXPECT_EQ(ReadDword(key, "Port"), 21u);

    // The stray temporary file does not disturb later saves or loads.
    ASSERT_EQ(key.SetDword("Timeout", 7), ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(key, "Port"), 21u);
    EXPECT_EQ(ReadDword(key, "Timeout"), 7u);
}

TEST_F(RegistryDurabilityTest, TwoProcessesWritingAtOnceKeepEveryValue)
{
    { TestKey create; }
    constexpr int kWritesEach = 40;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    const char* prefix = child == 0 ? "child" : "parent";
    bool allWritten = true;
    {
        TestKey key;
        for (int i = 0; i < kWritesEach; ++i)
            allWritten = key.SetDword(prefix + std::to_string(i), static_cast<std::uint32_t>(i)) == ERROR_SUCCESS && allWritten;
    }
    if (child == 0)
        _exit(allWritten ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(allWritten);

    TestKey key;
    for (const char* who : {"child", "parent"}) {
        for (int i = 0; i < kWritesEach; ++i)
            EXPECT_EQ(ReadDword(key, who + std::to_string(i)), static_cast<std::uint32_t>(i));
    }
}

}  // namespace
