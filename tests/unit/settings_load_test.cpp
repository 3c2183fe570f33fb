// The load sequence: defaults, stored values, and the one message each
// failure shows.
#include "settings_test_env.h"

#include "settings/settings_store.h"

#include <filesystem>
#include <functional>

using namespace platform;

namespace {

class SettingsLoadTest : public StoreTestEnv {
protected:
    void SetUp() override
    {
        StoreTestEnv::SetUp();
        loaded = LumbraSettings();  // its home default follows the test's HOME
        ASSERT_TRUE(EnsureSettingsKey());
    }

    bool Load() { return RunLoadSequence(loaded, crypt); }

    LumbraSettings loaded;
    Vesk::CVeskCrypt crypt;
};

TEST_F(SettingsLoadTest, AnEmptyKeyGivesTheDefaults)
{
    ASSERT_TRUE(Load());
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(loaded.m_bLaunchOnStartup, 1);
    EXPECT_EQ(loaded.m_strIPAddress, "192.168.0.10");  // the first adapter's
    EXPECT_EQ(loaded.m_nPort, 21);
    EXPECT_EQ(loaded.m_nTimeout, 5);
    EXPECT_EQ(loaded.m_strHomePath, HomeFolder() + "/VESK_SCAN");
    EXPECT_EQ(loaded.m_bAnonymous, 1);
    EXPECT_EQ(loaded.m_strUserID, "anonymous");
    EXPECT_EQ(loaded.m_strPassword, "");
    EXPECT_EQ(loaded.m_bPlainScan, 0);
}

TEST_F(SettingsLoadTest, StoredValuesAreTakenAsTheyAre)
{
    SetAdapters({{"eth0", "192.168.0.10"}, {"wlan0", "10.0.0.5"}});
    TestKey key;
    ASSERT_EQ(key.SetText("NIC", "wlan0"), ERROR_SUCCESS);
    ASSERT_EQ(key.SetDword("Timeout", 300), ERROR_SUCCESS);
    ASSERT_EQ(key.SetDword("Port", 0xFFFFFFFFu), ERROR_SUCCESS);
    ASSERT_EQ(key.Set("HomePath", REG_EXPAND_SZ, std::string("$HOME/scans") + '\0'), ERROR_SUCCESS);
    ASSERT_EQ(key.SetDword("IsAnonymous", 7), ERROR_SUCCESS);
    ASSERT_EQ(key.SetText("UserID", ""), ERROR_SUCCESS);
    ASSERT_EQ(key.Set("Password", REG_BINARY, ""), ERROR_SUCCESS);

    ASSERT_TRUE(Load());
    EXPECT_EQ(loaded.m_strIPAddress, "10.0.0.5");
    EXPECT_EQ(loaded.m_nTimeout, 300);
    EXPECT_EQ(loaded.m_nPort, -1);
    EXPECT_EQ(loaded.m_strHomePath, "$HOME/scans");  // not expanded
    EXPECT_EQ(loaded.m_bAnonymous, 7);
    EXPECT_EQ(loaded.m_strUserID, "anonymous");  // only read in named mode
}

// The dialog's range, 5 to 300 minutes: anything else loads as the default
// (the load goes on; a line on standard error tells of it).
TEST_F(SettingsLoadTest, ATimeoutOutsideTheDialogsRangeLoadsAsTheDefault)
{
    const std::pair<std::uint32_t, int> cases[] = {{0, 5}, {4, 5}, {5, 5}, {300, 300}, {301, 5}, {0xFFFFFFFFu, 5}};
    for (const auto& [stored, expected] : cases) {
        ASSERT_EQ(TestKey().SetDword("Timeout", stored), ERROR_SUCCESS);
        loaded.m_nTimeout = 77;
        ASSERT_TRUE(Load()) << stored;
        EXPECT_EQ(loaded.m_nTimeout, expected) << stored;
    }
    EXPECT_TRUE(messages.empty());
}

// Only an unchosen adapter takes the first one; a chosen one without an
// address loads without one (to be waited for), its name kept.
TEST_F(SettingsLoadTest, AnAdapterWithoutAnAddressIsNotReplacedByAnother)
{
    TestKey key;
    ASSERT_EQ(key.SetText("NIC", "eth9"), ERROR_SUCCESS);
    ASSERT_TRUE(Load());
    EXPECT_EQ(loaded.m_strIPAddress, "");
    EXPECT_EQ(loaded.m_strAdapterName, "eth9");

    ASSERT_EQ(key.SetText("NIC", ""), ERROR_SUCCESS);
    ASSERT_TRUE(Load());
    EXPECT_EQ(loaded.m_strIPAddress, "192.168.0.10");

    SetNoAdapterList();
    ASSERT_TRUE(Load());
    EXPECT_EQ(loaded.m_strIPAddress, "");
}

TEST_F(SettingsLoadTest, TheLongestReadableTextsAndPasswordLoad)
{
    TestKey key;
    ASSERT_EQ(key.SetText("HomePath", "/" + std::string(258, 'h')), ERROR_SUCCESS);
    ASSERT_EQ(key.SetDword("IsAnonymous", 0), ERROR_SUCCESS);
    ASSERT_EQ(key.Set("Password", REG_BINARY, std::string(260, '\x11')), ERROR_SUCCESS);
    ASSERT_TRUE(Load()) << ::testing::PrintToString(MessageTexts());
    EXPECT_EQ(loaded.m_strHomePath.size(), 259u);
    EXPECT_EQ(loaded.m_strPassword.size(), 260u);
}

struct LoadFailure {
    const char* what;
    std::function<void(const TestKey&)> store;
    std::string message;
};

TEST_F(SettingsLoadTest, EachFailureShowsItsMessageAndStopsTheLoad)
{
    const std::string named = "IsAnonymous";
    const LoadFailure failures[] = {
        {"auto-start as text", [](const TestKey& k) { k.SetText("LaunchOnStartup", "1"); },
         "환경설정정보(자동시작) 취득에 실패하였습니다."},
        {"NIC as dword", [](const TestKey& k) { k.SetDword("NIC", 1); }, "환경설정정보(NIC) 취득에 실패하였습니다."},
        {"port as text", [](const TestKey& k) { k.SetText("Port", "21"); },
         "환경설정정보(포트번호) 취득에 실패하였습니다."},
        {"time-out of 8 bytes", [](const TestKey& k) { k.Set("Timeout", REG_DWORD, std::string(8, '\1')); },
         "환경설정정보(타임아웃) 취득에 실패하였습니다."},
        {"home path too long", [](const TestKey& k) { k.SetText("HomePath", std::string(260, 'h')); },
         "환경설정정보(저장경로) 취득에 실패하였습니다."},
        {"home path without NUL", [](const TestKey& k) { k.Set("HomePath", REG_SZ, "/x"); },
         "환경설정정보(저장경로) 취득에 실패하였습니다."},
        {"anonymous as binary", [](const TestKey& k) { k.Set("IsAnonymous", REG_BINARY, "1"); },
         "환경설정정보(Anonymous) 취득에 실패하였습니다."},
        {"user ID too long", [&](const TestKey& k) { k.SetDword(named, 0); k.SetText("UserID", std::string(300, 'u')); },
         "환경설정정보(사용자ID) 취득에 실패하였습니다."},
        {"named mode, no password", [&](const TestKey& k) { k.SetDword(named, 0); },
         "환경설정정보(비밀번호) 취득에 실패하였습니다."},
        {"password too long", [&](const TestKey& k) { k.SetDword(named, 0); k.Set("Password", REG_BINARY, std::string(261, 'p')); },
         "환경설정정보(비밀번호) 취득에 실패하였습니다."},
        {"plain scan as text", [](const TestKey& k) { k.SetText("IsPlainScan", "0"); },
         "환경설정정보(PlainScan) 취득에 실패하였습니다."},
    };
    for (const LoadFailure& failure : failures) {
        std::filesystem::remove(SettingsFile());
        ASSERT_TRUE(EnsureSettingsKey());
        {
            TestKey key;
            key.SetDword("LaunchOnStartup", 0);
            key.SetDword("IsPlainScan", 1);  // read only if the load got past the failure
            failure.store(key);
        }
        messages.clear();
        loaded = LumbraSettings();
        EXPECT_FALSE(Load()) << failure.what;
        ASSERT_EQ(messages.size(), 1u) << failure.what;
        EXPECT_EQ(messages[0].text, failure.message) << failure.what;
        EXPECT_EQ(messages[0].icon, MessageIcon::Error);
        EXPECT_EQ(loaded.m_bPlainScan, 0) << "a later value was read after: " << failure.what;
    }
}

TEST_F(SettingsLoadTest, ValuesBeforeAFailureStayHeldAndLaterOnesKeepTheirDefaults)
{
    TestKey key;
    ASSERT_EQ(key.SetDword("LaunchOnStartup", 0), ERROR_SUCCESS);
    ASSERT_EQ(key.SetText("Port", "2121"), ERROR_SUCCESS);
    ASSERT_EQ(key.SetDword("Timeout", 9), ERROR_SUCCESS);
    EXPECT_FALSE(Load());
    EXPECT_EQ(loaded.m_bLaunchOnStartup, 0);
    EXPECT_EQ(loaded.m_nPort, 21);
    EXPECT_EQ(loaded.m_nTimeout, 5);
}

TEST_F(SettingsLoadTest, ADamagedFileFailsTheLoadAndIsLeftAsItWas)
{
    const std::string damaged = "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Tessaly\\Lumbra]\n\"Port\"=dword:1\n\"Oops\n";
    WriteFile(SettingsFile(), damaged);
    EXPECT_FALSE(Load());
    EXPECT_EQ(MessageTexts(), std::vector<std::string>{"환경설정정보(자동시작) 취득에 실패하였습니다."});
    EXPECT_TRUE(EnsureSettingsKey());
    EXPECT_EQ(ReadFile(SettingsFile()), damaged);
}

TEST_F(SettingsLoadTest, AMissingKeyIsAFailureNotAnEmptyKey)
{
    std::filesystem::remove(SettingsFile());
    EXPECT_FALSE(Load());
    EXPECT_EQ(MessageTexts(), std::vector<std::string>{"환경설정정보(자동시작) 취득에 실패하였습니다."});
    std::uint32_t value = 5;
    std::string text = "kept";
    EXPECT_FALSE(GetRegDword("Port", value));
    EXPECT_FALSE(GetRegString("HomePath", text));
    EXPECT_FALSE(GetRegBinary("Password", text));
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(text, "kept");
}

}  // namespace
