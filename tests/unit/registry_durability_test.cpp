// What happens to the key file when things go wrong: a damaged or truncated
// file, a save cut short or killed, and two processes writing at once.
#include "settings_test_env.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <tuple>

#include "settings/settings_store.h"

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

    // The stray temporary file does not disturb later saves or loads, and the
    // next write, holding the lock its writer held, removes it.
    ASSERT_EQ(key.SetDword("Timeout", 7), ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(key, "Port"), 21u);
    EXPECT_EQ(ReadDword(key, "Timeout"), 7u);
    EXPECT_FALSE(std::filesystem::exists(tempPath));
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

// Two complete sets of settings that differ in every value.
class SettingsDurabilityTest : public StoreTestEnv {
protected:
    void SetUp() override
    {
        StoreTestEnv::SetUp();
        ASSERT_TRUE(EnsureSettingsKey());
        ASSERT_EQ(crypt.Initialize(), 0);
        oldSet = {0, "192.168.0.10", 2121, 9, "/srv/old", 0, "olduser", "old secret", 1, {}, {}, {}};
        newSet = {0, "10.0.0.5", 21, 5, "/srv/새", 0, "newuser", "new secret", 0, {}, {}, {}};
    }

    bool Save(const LumbraSettings& s) { return RunSaveSequence(s, crypt); }

    // A child that saves the two sets in turn until it is killed (or gives
    // up after a while, should the test itself go wrong).
    pid_t StartSaver(const LumbraSettings& first, const LumbraSettings& second)
    {
        const pid_t child = fork();
        if (child == 0) {
            alarm(30);
            for (;;) {
                Save(first);
                Save(second);
            }
        }
        return child;
    }

    // `loaded` is all the old set or all the new one: a user of one save
    // with the password of the other would lock the scanner out.
    void ExpectOldOrNewSet(const LumbraSettings& loaded, const std::string& when)
    {
        auto values = [](const LumbraSettings& s) {
            return std::tuple(s.m_strIPAddress, s.m_nPort, s.m_nTimeout, s.m_strHomePath, s.m_bAnonymous,
                              s.m_strUserID, s.m_strPassword, s.m_bPlainScan);
        };
        EXPECT_TRUE(values(loaded) == values(oldSet) || values(loaded) == values(newSet))
            << when << ": " << loaded.m_strUserID << "/" << loaded.m_strPassword << " port " << loaded.m_nPort;
    }

    Vesk::CVeskCrypt crypt;
    LumbraSettings oldSet, newSet;
};

TEST_F(SettingsDurabilityTest, ASaveKilledAtAnyMomentLeavesALoadableFileOfOldOrNewValues)
{
    ASSERT_TRUE(Save(oldSet));
    for (int round = 0; round < 40; ++round) {
        const pid_t saver = StartSaver(newSet, oldSet);
        ASSERT_GT(saver, 0);
        usleep(static_cast<useconds_t>(500 + (round * 7919) % 25000));  // spread over whole saves
        ASSERT_EQ(kill(saver, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(saver, &status, 0), saver);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saver was still at work when killed";

        messages.clear();
        LumbraSettings loaded;
        ASSERT_TRUE(RunLoadSequence(loaded, crypt)) << "round " << round << ": " << ::testing::PrintToString(MessageTexts());
        ExpectOldOrNewSet(loaded, "round " + std::to_string(round));
        const std::filesystem::directory_iterator folder(ConfigHome() + "/Tessaly");
        EXPECT_EQ(std::distance(folder, {}), 2) << "round " << round << ": the file and its lock, nothing left";
    }
    // Whatever a kill left behind, the next save and load work.
    ASSERT_TRUE(Save(newSet));
    LumbraSettings loaded;
    ASSERT_TRUE(RunLoadSequence(loaded, crypt));
    EXPECT_EQ(loaded.m_nPort, newSet.m_nPort);
    EXPECT_EQ(loaded.m_strPassword, newSet.m_strPassword);
}

TEST_F(SettingsDurabilityTest, TwoSaversAtOnceBothSucceedAndLeaveOldOrNewValues)
{
    ASSERT_TRUE(Save(oldSet));
    auto saveRepeatedly = [this](const LumbraSettings& s) {
        const pid_t child = fork();
        if (child == 0) {
            alarm(60);
            bool all = true;
            for (int i = 0; i < 15; ++i)
                all = Save(s) && all;
            _exit(all ? 0 : 1);
        }
        return child;
    };
    const pid_t first = saveRepeatedly(oldSet);
    const pid_t second = saveRepeatedly(newSet);
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    for (const pid_t child : {first, second}) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a save failed";
    }
    LumbraSettings loaded;
    ASSERT_TRUE(RunLoadSequence(loaded, crypt)) << ::testing::PrintToString(MessageTexts());
    ExpectOldOrNewSet(loaded, "after both savers");
}

// Cut at every byte, the file either gives the load message and is left as
// it was, or (cut at the end of a line, where nothing tells) loads values
// that are the saved ones or, for the lines that are gone, the defaults.
TEST_F(SettingsDurabilityTest, ATruncatedFileGivesTheLoadMessageOrOnlyValuesThatWereSaved)
{
    ASSERT_TRUE(Save(oldSet));
    const std::string whole = ReadFile(SettingsFile());
    ASSERT_GT(whole.size(), 100u);
    const LumbraSettings defaults;
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        const std::string truncated = whole.substr(0, cut);
        WriteFile(SettingsFile(), truncated);
        messages.clear();
        LumbraSettings loaded;
        const bool ok = RunLoadSequence(loaded, crypt);
        EXPECT_EQ(ReadFile(SettingsFile()), truncated) << "cut at " << cut << ": the file was rewritten";
        if (!ok) {
            EXPECT_EQ(messages.size(), 1u) << "cut at " << cut;
            continue;
        }
        EXPECT_TRUE(messages.empty()) << "cut at " << cut;
        const std::string when = "cut at " + std::to_string(cut) + " after: " + whole.substr(cut > 20 ? cut - 20 : 0, std::min<size_t>(cut, 20));
        auto savedOrDefault = [&](auto member) { return loaded.*member == oldSet.*member || loaded.*member == defaults.*member; };
        EXPECT_TRUE(savedOrDefault(&LumbraSettings::m_nPort)) << when << ": " << loaded.m_nPort;
        EXPECT_TRUE(savedOrDefault(&LumbraSettings::m_nTimeout)) << when << ": " << loaded.m_nTimeout;
        EXPECT_TRUE(savedOrDefault(&LumbraSettings::m_strHomePath)) << when << ": " << loaded.m_strHomePath;
        EXPECT_TRUE(savedOrDefault(&LumbraSettings::m_strUserID)) << when << ": " << loaded.m_strUserID;
        EXPECT_TRUE(savedOrDefault(&LumbraSettings::m_bPlainScan)) << when;
        // A named login never silently becomes open to anyone, nor takes
        // another password.
        EXPECT_EQ(loaded.m_bAnonymous, 0) << when;
        EXPECT_EQ(loaded.m_strPassword, oldSet.m_strPassword) << when;
    }
}

}  // namespace
