// The save sequence: what it stores, the autostart entry, and what a failure
// leaves behind.
#include "settings_test_env.h"

#include "platform/registry_autostart.h"
#include "settings/settings_store.h"

#include <filesystem>

using namespace platform;

namespace {

const std::string kSuccess = "환경설정정보 등록에 성공하였습니다.";

class SettingsSaveTest : public StoreTestEnv {
protected:
    void SetUp() override
    {
        StoreTestEnv::SetUp();
        ASSERT_TRUE(EnsureSettingsKey());
        ASSERT_EQ(crypt.Initialize(), 0);
        named.m_strIPAddress = "10.0.0.5";
        named.m_nPort = 2121;
        named.m_nTimeout = 9;
        named.m_strHomePath = "/srv/스캔";
        named.m_bAnonymous = 0;
        named.m_strUserID = "scanner";
        named.m_strPassword = "secret";
        named.m_bPlainScan = 1;
    }

    bool Save(const LumbraSettings& s) { return RunSaveSequence(s, crypt); }

    RegValue Stored(const std::string& name)
    {
        TestKey key;
        RegValue value;
        EXPECT_EQ(key.Get(name, value.type, value.data), ERROR_SUCCESS) << name;
        return value;
    }

    static RegValue Text(const std::string& text) { return {REG_SZ, text + '\0'}; }
    static RegValue Dword(std::uint32_t v) { return {REG_DWORD, std::string(reinterpret_cast<const char*>(&v), 4)}; }

    Vesk::CVeskCrypt crypt;
    LumbraSettings named;
};

TEST_F(SettingsSaveTest, StoresEveryValueWithItsTypeAndLoadsBackTheSame)
{
    ASSERT_TRUE(Save(named));
    EXPECT_EQ(MessageTexts(), std::vector<std::string>{kSuccess});
    EXPECT_EQ(messages[0].icon, MessageIcon::Information);
    EXPECT_EQ(Stored("NIC"), Text("wlan0"));
    EXPECT_EQ(Stored("Port"), Dword(2121));
    EXPECT_EQ(Stored("Timeout"), Dword(9));
    EXPECT_EQ(Stored("LaunchOnStartup"), Dword(1));
    EXPECT_EQ(Stored("HomePath"), Text("/srv/스캔"));
    EXPECT_EQ(Stored("IsAnonymous"), Dword(0));
    EXPECT_EQ(Stored("UserID"), Text("scanner"));
    EXPECT_EQ(Stored("Password"), (RegValue{REG_BINARY, "\xb3\x5f\x41\x24\xa7\x39"}));  // "secret" enciphered
    EXPECT_EQ(Stored("IsPlainScan"), Dword(1));

    LumbraSettings loaded;
    Vesk::CVeskCrypt loadCrypt;
    ASSERT_TRUE(RunLoadSequence(loaded, loadCrypt));
    EXPECT_EQ(loaded.m_strIPAddress, "10.0.0.5");
    EXPECT_EQ(loaded.m_nPort, 2121);
    EXPECT_EQ(loaded.m_strHomePath, "/srv/스캔");
    EXPECT_EQ(loaded.m_strUserID, "scanner");
    EXPECT_EQ(loaded.m_strPassword, "secret");
    EXPECT_EQ(loaded.m_bPlainScan, 1);
}

TEST_F(SettingsSaveTest, PasswordsWithZeroCipherBytesOrNoBytesComeBackWhole)
{
    for (const std::string password : {"p:ssw0rd", ""}) {
        named.m_strPassword = password;
        ASSERT_TRUE(Save(named));
        LumbraSettings loaded;
        loaded.m_strPassword = "stale";
        Vesk::CVeskCrypt loadCrypt;
        ASSERT_TRUE(RunLoadSequence(loaded, loadCrypt));
        EXPECT_EQ(loaded.m_strPassword, password);
    }
    EXPECT_EQ(Stored("Password"), (RegValue{REG_BINARY, ""}));  // an empty password is zero bytes
}

TEST_F(SettingsSaveTest, AnonymousModeLeavesTheStoredLoginAlone)
{
    ASSERT_TRUE(Save(named));
    const RegValue userId = Stored("UserID"), password = Stored("Password");
    LumbraSettings anonymous = named;
    anonymous.m_bAnonymous = 1;
    anonymous.m_strUserID = "anonymous";
    anonymous.m_strPassword = "";
    ASSERT_TRUE(Save(anonymous));
    EXPECT_EQ(Stored("UserID"), userId);
    EXPECT_EQ(Stored("Password"), password);
    EXPECT_EQ(Stored("IsAnonymous"), Dword(1));
}

TEST_F(SettingsSaveTest, TheAdapterIsStoredByName)
{
    SetAdapters({{"eth0", "192.168.0.10"}, {"br0", "10.0.0.5"}, {"wlan0", "10.0.0.5"}});
    ASSERT_TRUE(Save(named));
    EXPECT_EQ(Stored("NIC"), Text("br0"));  // the first of two with one address

    // A stored adapter without an address keeps its place through a save.
    TestKey key;
    ASSERT_EQ(key.SetText("NIC", "eth9"), ERROR_SUCCESS);
    LumbraSettings loaded;
    ASSERT_TRUE(RunLoadSequence(loaded, crypt));
    ASSERT_TRUE(Save(loaded));
    EXPECT_EQ(Stored("NIC"), Text("eth9"));

    named.m_strIPAddress = "172.16.0.1";  // no adapter holds it
    ASSERT_TRUE(Save(named));
    EXPECT_EQ(Stored("NIC"), Text(""));
}

// Whatever the entry was (none, ours, one starting another program), a save
// leaves it agreeing with the setting.
TEST_F(SettingsSaveTest, EverySaveMakesTheAutostartEntryAgree)
{
    std::string program;
    ASSERT_EQ(GetOwnExecutablePath(program), ERROR_SUCCESS);
    const std::string ours = "\nExec=" + DesktopExecQuote(program) + "\n";
    for (const char* before : {"none", "ours", "stale"}) {
        for (const int launchOnStartup : {1, 0}) {
            std::filesystem::remove(AutostartFile());
            if (std::string(before) != "none") {
                TestKey run("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
                ASSERT_EQ(run.SetText("Lumbra", std::string(before) == "ours" ? program : "/old/place/lumbra"), ERROR_SUCCESS);
            }
            messages.clear();
            named.m_bLaunchOnStartup = launchOnStartup;
            ASSERT_TRUE(Save(named)) << before << " " << launchOnStartup;
            EXPECT_EQ(MessageTexts(), std::vector<std::string>{kSuccess}) << before << " " << launchOnStartup;
            if (launchOnStartup)
                EXPECT_NE(ReadFile(AutostartFile()).find(ours), std::string::npos) << before;
            else
                EXPECT_FALSE(std::filesystem::exists(AutostartFile())) << before;
            EXPECT_EQ(Stored("LaunchOnStartup"), Dword(launchOnStartup));
        }
    }
}

// An entry that can be neither written nor removed (a folder in its place)
// is reported with the code and stops the save before any setting.
TEST_F(SettingsSaveTest, AnEntryThatCannotAgreeStopsTheSaveBeforeAnySetting)
{
    std::filesystem::create_directories(AutostartFile() + "/in-the-way");
    const std::pair<int, std::string> cases[] = {
        {1, "프로그램 자동실행 설정에 실패하였습니다.(1013"},
        {0, "프로그램 자동실행 취소 설정에 실패하였습니다.(1013"},
    };
    for (const auto& [launchOnStartup, message] : cases) {
        messages.clear();
        named.m_bLaunchOnStartup = launchOnStartup;
        EXPECT_FALSE(Save(named));
        EXPECT_EQ(MessageTexts(), std::vector<std::string>{message});
        EXPECT_EQ(messages[0].icon, MessageIcon::Error);
        EXPECT_EQ(ReadFile(SettingsFile()).find("Port"), std::string::npos);
    }
}

// One save is one replacement of the file: when it fails nothing of the new
// settings is stored, and the temporary file it left (as a crash would) is
// removed by the next save, together with one left beside the entry; a
// name that only looks like theirs is left alone.
TEST_F(SettingsSaveTest, AFailedWriteStoresNothingAndItsLeftoversGoWithTheNextSave)
{
    ASSERT_TRUE(Save(named));
    const std::string before = ReadFile(SettingsFile());
    LumbraSettings changed = named;
    changed.m_nPort = 2222;
    std::string leftover;
    SetBeforeReplaceHookForTesting([&](const std::string& path) {
        leftover = path;
        return false;
    });
    messages.clear();
    EXPECT_FALSE(Save(changed));
    SetBeforeReplaceHookForTesting({});
    EXPECT_EQ(MessageTexts(), std::vector<std::string>{"환경설정정보 등록에 실패하였습니다.(1013)"});
    EXPECT_EQ(ReadFile(SettingsFile()), before);
    ASSERT_TRUE(std::filesystem::exists(leftover));

    const std::string folder = ConfigHome() + "/autostart/";
    WriteFile(folder + ".Lumbra.desktop.tmp-a1B2c3", "left by a saver that died");
    const std::string lookalike = ConfigHome() + "/Tessaly/.Lumbra.reg.tmp-mine.txt";
    WriteFile(lookalike, "a user's own file");
    ASSERT_TRUE(Save(changed));
    EXPECT_FALSE(std::filesystem::exists(leftover));
    EXPECT_FALSE(std::filesystem::exists(folder + ".Lumbra.desktop.tmp-a1B2c3"));
    EXPECT_TRUE(std::filesystem::exists(lookalike));
    EXPECT_EQ(Stored("Port"), Dword(2222));
}

TEST_F(SettingsSaveTest, SaveFailuresNameTheValueAndTheCode)
{
    std::filesystem::remove(SettingsFile());
    EXPECT_FALSE(Save(named));
    EXPECT_EQ(MessageTexts(), (std::vector<std::string>{"환경설정정보 등록에 실패하였습니다.(2)"}));
}

// A damaged file would refuse every write and every later start: the save
// keeps it beside for the user and writes fresh settings that load again.
TEST_F(SettingsSaveTest, ASaveOverADamagedFileKeepsItBesideAndWritesFreshSettings)
{
    const std::string damaged = "REGEDIT4\nnot a registry file\n";
    WriteFile(SettingsFile(), damaged);
    ASSERT_TRUE(Save(named));
    EXPECT_EQ(MessageTexts(), std::vector<std::string>{kSuccess});
    EXPECT_EQ(ReadFile(SettingsFile() + ".damaged"), damaged);
    LumbraSettings loaded;
    Vesk::CVeskCrypt fresh;
    ASSERT_TRUE(RunLoadSequence(loaded, fresh));
    EXPECT_EQ(loaded.m_nPort, 2121);
    EXPECT_EQ(loaded.m_strPassword, "secret");

    // A later damage replaces the older kept file; a sound file is left alone.
    WriteFile(SettingsFile(), "REGEDIT4\nbroken again\n");
    ASSERT_TRUE(Save(named));
    EXPECT_EQ(ReadFile(SettingsFile() + ".damaged"), "REGEDIT4\nbroken again\n");
    std::filesystem::remove(SettingsFile() + ".damaged");
    ASSERT_TRUE(Save(named));
    EXPECT_FALSE(std::filesystem::exists(SettingsFile() + ".damaged"));
}

TEST_F(SettingsSaveTest, TextTheLoadCouldNotReadBackIsNotStored)
{
    ASSERT_TRUE(Save(named));
    LumbraSettings tooLong = named;
    tooLong.m_strHomePath = "/" + std::string(259, 'h');
    EXPECT_FALSE(Save(tooLong));
    EXPECT_EQ(MessageTexts().back(), "환경설정정보 등록(저장경로)에 실패하였습니다.(87)");
    EXPECT_EQ(Stored("HomePath"), Text("/srv/스캔"));
}

TEST_F(SettingsSaveTest, AFailedEncipherKeepsTheStoredPassword)
{
    ASSERT_TRUE(Save(named));
    const RegValue password = Stored("Password");
    Vesk::CVeskCrypt notReady;
    named.m_strPassword = "changed";
    messages.clear();
    EXPECT_TRUE(RunSaveSequence(named, notReady));
    const std::string failure = "환경설정정보 등록(비밀번호:암호화)에 실패하였습니다.";
    ASSERT_EQ(MessageTexts(), (std::vector<std::string>{failure, failure}));
    EXPECT_EQ(messages[0].icon, MessageIcon::None);
    EXPECT_EQ(messages[1].icon, MessageIcon::Information);
    EXPECT_EQ(Stored("Password"), password);
    EXPECT_EQ(Stored("IsPlainScan"), Dword(1));
}

}  // namespace
