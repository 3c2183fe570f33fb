// The main settings dialog: start-up load, the anonymous switch, save with
// the server restart, cancel with the network backup, and the folder browser.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QCryptographicHash>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpSocket>
#include <QTimer>
#include <functional>

#include "app/command_ids.h"
#include "app/lumbra_dlg.h"
#include "app/lumbra_network_dlg.h"
#include "gui_test_env.h"
#include "platform/registry.h"
#include "platform/tls.h"
#include "server/ftp_server.h"
#include "settings/settings_keys.h"

namespace {

QString Text(const QWidget& dlg, int id)
{
    if (auto* label = dlg.findChild<QLabel*>(QString::number(id)))
        return label->text();
    return Control<QLineEdit>(dlg, id)->text();
}

// Runs the network dialog from the main dialog's button with `edit` applied
// to it, then OK.
void ChangeNetwork(CLumbraDlg& dlg, std::function<void(CLumbraNetworkDlg&)> edit)
{
    QTimer::singleShot(0, [edit] {
        auto* network = qobject_cast<CLumbraNetworkDlg*>(QApplication::activeModalWidget());
        QVERIFY(network);
        edit(*network);
        network->accept();
    });
    Control<QPushButton>(dlg, ids::IDC_BUTTON_NETWORK)->click();
}

void SetPort(CLumbraNetworkDlg& network, int port)
{
    Control<QLineEdit>(network, ids::IDC_EDIT_PORT)->setText(QString::number(port));
}

std::uint32_t StoredDword(const char* name)
{
    std::uint32_t value = 0xdeadbeef;
    GetRegDword(name, value);
    return value;
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// SHA-256 over the DER of the first certificate in `pem`, as "AB:CD:…".
QString PemFingerprint(const QByteArray& pem)
{
    const QByteArray begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
    const qsizetype from = pem.indexOf(begin), to = pem.indexOf(end);
    if (from < 0 || to < from)
        return {};
    const QByteArray der = QByteArray::fromBase64(pem.mid(from + begin.size(), to - from - begin.size()));
    return QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex(':').toUpper();
}

// Initialised and settled: the hiding it posts has happened.
bool Init(CLumbraDlg& dlg)
{
    const bool loaded = dlg.OnInitDialog();
    QCoreApplication::processEvents();
    return loaded;
}

bool HiddenAfterEvents(const QWidget& w)
{
    QCoreApplication::processEvents();
    return !w.isVisible();
}

}  // namespace

class MainDlgTest : public QObject {
    Q_OBJECT

    static LumbraSettings Named(GuiTestEnv& env, int launchOnStartup)
    {
        LumbraSettings s = env.LocalSettings(launchOnStartup);
        s.m_bAnonymous = 0;
        s.m_strUserID = "scanner";
        s.m_strPassword = "s3cret";
        return s;
    }

private slots:
    void startupLoadsHandsOverStartsAndHides()
    {
        GuiTestEnv env;
        const LumbraSettings stored = Named(env, 1);
        env.Store(stored);
        CLumbraDlg dlg;
        QVERIFY(Init(dlg));
        QVERIFY(HiddenAfterEvents(dlg));
        QVERIFY(theServer.IsRunning());
        const auto served = theServer.Settings();
        QCOMPARE(served->m_nPort, stored.m_nPort);
        QCOMPARE(served->m_strUserID, std::string("scanner"));
        QCOMPARE(served->m_strPassword, std::string("s3cret"));
        QCOMPARE(served->m_bAnonymous, 0);
        QCOMPARE(Text(dlg, ids::IDC_STATIC_IPADDRESS), QString("127.0.0.1"));
        QVERIFY(!Control<QCheckBox>(dlg, ids::IDC_CHECK_ANONYMOUS)->isChecked());
        QVERIFY(Control<QLineEdit>(dlg, ids::IDC_EDIT_USERID)->isEnabled());
        QVERIFY(env.messages.empty());
    }

    void firstStartUsesDefaults()
    {
        GuiTestEnv env;
        // Not an address of this machine: the automatic start fails, noticed.
        env.SetAdapters({{"eth9", "192.0.2.1"}});
        QVERIFY(EnsureSettingsKey());
        CLumbraDlg dlg;
        QVERIFY(Init(dlg));
        QVERIFY(HiddenAfterEvents(dlg));
        QVERIFY(!theServer.IsRunning());
        const auto served = theServer.Settings();
        QCOMPARE(served->m_strBindAddress, std::string("192.0.2.1"));
        QCOMPARE(served->m_nPort, 21);
        QCOMPARE(served->m_bAnonymous, 1);
        QVERIFY(!Control<QLineEdit>(dlg, ids::IDC_EDIT_USERID)->isEnabled());
        QCOMPARE(Text(dlg, ids::IDC_EDIT_USERID), QString("anonymous"));
        QCOMPARE(env.messages.size(), size_t(1));
        QCOMPARE(env.messages[0].buttons, platform::MessageButtons::Notice);
    }

    void failedLoadKeepsTheWindowAndLeavesTheServer()
    {
        GuiTestEnv env;
        QDir().mkpath(env.Path("config/Tessaly"));
        QFile file(env.Path("config/Tessaly/Lumbra.reg"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Tessaly\\Lumbra]\n\"Port\"=\"21\"\n\n");
        file.close();
        theServer.SetSettings(ServerSettings{});
        CLumbraDlg dlg;
        QVERIFY(!dlg.OnInitDialog());
        QCoreApplication::processEvents();
        QVERIFY(dlg.isVisible());
        QVERIFY(env.Shown("환경설정정보(포트번호) 취득에 실패하였습니다."));
        QVERIFY(!theServer.IsRunning());
        QCOMPARE(theServer.Settings()->m_strHomePath, std::string());
        QCOMPARE(Text(dlg, ids::IDC_STATIC_IPADDRESS), QString("127.0.0.1"));
    }

    // Anonymous mode is known before "IsPlainScan" is read: a load that
    // fails only there already greys the login edits.
    void failedLastReadStillGreysTheAnonymousLogin()
    {
        GuiTestEnv env;
        env.Store(env.LocalSettings(0));  // anonymous
        platform::HKEY key{};
        QCOMPARE(platform::RegOpenKeyExA(platform::HKEY_CURRENT_USER, settings_keys::kSettingsKey,
                                         platform::KEY_READ | platform::KEY_WRITE, key),
                 platform::ERROR_SUCCESS);
        QCOMPARE(platform::RegSetValueExA(key, settings_keys::kIsPlainScan, platform::REG_SZ, "0", 2),
                 platform::ERROR_SUCCESS);
        platform::RegCloseKey(key);
        CLumbraDlg dlg;
        QVERIFY(!dlg.OnInitDialog());
        QVERIFY(env.Shown("환경설정정보(PlainScan) 취득에 실패하였습니다."));
        QVERIFY(!Control<QLineEdit>(dlg, ids::IDC_EDIT_USERID)->isEnabled());
        QVERIFY(!Control<QLineEdit>(dlg, ids::IDC_EDIT_PASSWORD)->isEnabled());
    }

    // On: "anonymous" and an empty password, both greyed. Off: the stored
    // login comes back, not what was typed before.
    void anonymousSwitchBringsBackTheStoredLogin()
    {
        GuiTestEnv env;
        env.Store(Named(env, 0));
        CLumbraDlg dlg;
        QVERIFY(Init(dlg));
        auto* user = Control<QLineEdit>(dlg, ids::IDC_EDIT_USERID);
        auto* password = Control<QLineEdit>(dlg, ids::IDC_EDIT_PASSWORD);
        auto* anonymous = Control<QCheckBox>(dlg, ids::IDC_CHECK_ANONYMOUS);
        user->setText("typed");
        password->setText("typed too");

        anonymous->click();
        QCOMPARE(user->text(), QString("anonymous"));
        QCOMPARE(password->text(), QString());
        QVERIFY(!user->isEnabled() && !password->isEnabled());
        QCOMPARE(dlg.HeldValues().m_bAnonymous, 1);

        anonymous->click();
        QCOMPARE(user->text(), QString("scanner"));
        QCOMPARE(password->text(), QString("s3cret"));
        QVERIFY(user->isEnabled() && password->isEnabled());
        QCOMPARE(dlg.HeldValues().m_strPassword, std::string("s3cret"));
        QVERIFY(env.messages.empty());
    }

    void anonymousOffWithNothingStoredWarns()
    {
        GuiTestEnv env;
        env.Store(env.LocalSettings(0));  // anonymous: no login stored
        CLumbraDlg dlg;
        QVERIFY(Init(dlg));
        Control<QCheckBox>(dlg, ids::IDC_CHECK_ANONYMOUS)->click();
        QCOMPARE(env.messages.size(), size_t(1));
        QCOMPARE(env.messages[0].text, std::string("저장된 비밀번호 정보취득에 실패하였습니다."));
        QCOMPARE(env.messages[0].icon, platform::MessageIcon::Warning);
        QCOMPARE(Text(dlg, ids::IDC_EDIT_USERID), QString());
        QCOMPARE(Text(dlg, ids::IDC_EDIT_PASSWORD), QString());
        QVERIFY(Control<QLineEdit>(dlg, ids::IDC_EDIT_PASSWORD)->isEnabled());
    }

    void saveWithEmptyUserIdIsRefused()
    {
        GuiTestEnv env;
        env.Store(Named(env, 0));
        CLumbraDlg dlg;
        QVERIFY(Init(dlg));
        dlg.show();
        Control<QLineEdit>(dlg, ids::IDC_EDIT_USERID)->clear();
        Control<QLineEdit>(dlg, ids::IDC_EDIT_PASSWORD)->setText("new password");
        Control<QPushButton>(dlg, ids::IDOK)->click();
        QCOMPARE(env.messages.size(), size_t(1));
        QCOMPARE(env.messages[0].text, std::string("사용자 ID를 입력하세요."));
        QCOMPARE(env.messages[0].icon, platform::MessageIcon::Information);
        QCOMPARE(Text(dlg, ids::IDC_EDIT_USERID), QString("scanner"));
        QVERIFY(!HiddenAfterEvents(dlg));
        LumbraSettings reloaded;
        Vesk::CVeskCrypt crypt;
        QVERIFY(RunLoadSequence(reloaded, crypt));
        QCOMPARE(reloaded.m_strPassword, std::string("s3cret"));  // nothing written
    }

    // The restart ends the connected client and listens on the new port.
    void saveRestartsARunningServer()
    {
        GuiTestEnv env;
        const LumbraSettings stored = env.LocalSettings(1);
        env.Store(stored);
        CLumbraDlg dlg;
        QVERIFY(Init(dlg));
        QVERIFY(theServer.IsRunning());
        QTcpSocket client;
        client.connectToHost("127.0.0.1", stored.m_nPort);
        // The greeting needs the main thread's events (the worker counts itself in).
        QTRY_VERIFY_WITH_TIMEOUT(client.bytesAvailable() > 0, 5000);
        QVERIFY(client.readAll().startsWith("220 "));

        const int newPort = GuiTestEnv::FreePort();
        dlg.show();
        ChangeNetwork(dlg, [newPort](CLumbraNetworkDlg& n) { SetPort(n, newPort); });
        QCOMPARE(Text(dlg, ids::IDC_STATIC_IPADDRESS), QString("127.0.0.1"));
        Control<QPushButton>(dlg, ids::IDOK)->click();

        QVERIFY(env.Shown("환경설정정보 등록에 성공하였습니다."));
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 5000);
        QVERIFY(theServer.IsRunning());
        QCOMPARE(theServer.ListeningPort(), newPort);
        QCOMPARE(StoredDword(settings_keys::kPort), std::uint32_t(newPort));
        QVERIFY(!dlg.HasNetworkBackup());
        QVERIFY(HiddenAfterEvents(dlg));
    }

    void saveLeavesAStoppedServerStopped()
    {
        GuiTestEnv env;
        env.Store(env.LocalSettings(0));
        CLumbraDlg dlg;
        QVERIFY(Init(dlg));
        QVERIFY(!theServer.IsRunning());
        ChangeNetwork(dlg, [](CLumbraNetworkDlg& n) {
            Control<QLineEdit>(n, ids::IDC_EDIT_TIMEOUT)->setText("42");
        });
        Control<QPushButton>(dlg, ids::IDOK)->click();
        QVERIFY(!theServer.IsRunning());
        QCOMPARE(theServer.Settings()->m_nTimeout, 42);
        QCOMPARE(StoredDword(settings_keys::kTimeout), 42u);
    }

    // Two network changes, then Cancel: both are undone, typed text too.
    void cancelRestoresTheNetworkBackup()
    {
        GuiTestEnv env;
        const LumbraSettings stored = env.LocalSettings(0);
        env.Store(stored);
        CLumbraDlg dlg;
        QVERIFY(Init(dlg));
        dlg.show();
        ChangeNetwork(dlg, [](CLumbraNetworkDlg& n) {
            auto* box = Control<QComboBox>(n, ids::IDC_COMBO_IPADDRESS);
            box->setCurrentIndex(box->findText("192.168.0.10"));
            SetPort(n, 2121);
        });
        ChangeNetwork(dlg, [](CLumbraNetworkDlg& n) {
            Control<QLineEdit>(n, ids::IDC_EDIT_TIMEOUT)->setText("60");
            Control<QCheckBox>(n, ids::IDC_CHECK_PLAINSCAN)->setChecked(true);
        });
        QCOMPARE(Text(dlg, ids::IDC_STATIC_IPADDRESS), QString("192.168.0.10"));
        QCOMPARE(dlg.HeldValues().m_nTimeout, 60);
        Control<QCheckBox>(dlg, ids::IDC_CHECK_AUTOSTART)->setChecked(true);

        Control<QPushButton>(dlg, ids::IDCANCEL)->click();
        QCOMPARE(Text(dlg, ids::IDC_STATIC_IPADDRESS), QString("127.0.0.1"));
        QCOMPARE(dlg.HeldValues().m_nPort, stored.m_nPort);
        QCOMPARE(dlg.HeldValues().m_nTimeout, 5);
        QCOMPARE(dlg.HeldValues().m_bPlainScan, 0);
        QVERIFY(!Control<QCheckBox>(dlg, ids::IDC_CHECK_AUTOSTART)->isChecked());
        QVERIFY(HiddenAfterEvents(dlg));
        QVERIFY(env.messages.empty());
    }

    void cancelAfterSaveRestoresNothing()
    {
        GuiTestEnv env;
        env.Store(env.LocalSettings(0));
        CLumbraDlg dlg;
        QVERIFY(Init(dlg));
        ChangeNetwork(dlg, [](CLumbraNetworkDlg& n) { SetPort(n, 2121); });
        Control<QPushButton>(dlg, ids::IDOK)->click();
        Control<QPushButton>(dlg, ids::IDCANCEL)->click();
        QCOMPARE(dlg.HeldValues().m_nPort, 2121);
        QCOMPARE(theServer.Settings()->m_nPort, 2121);
    }

    // FTPS switched on in the network dialog: the certificate is made at once
    // and its fingerprint shown, the export holds the certificate alone, and
    // the save stores the choice and serves it.
    void tlsChoiceSavedAndServed_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("legacy");
        QTest::newRow("허용, 구형 장치") << int(kTlsOffered) << true;
        QTest::newRow("필수") << int(kTlsRequired) << false;
    }
    void tlsChoiceSavedAndServed()
    {
        QFETCH(int, mode);
        QFETCH(bool, legacy);
        GuiTestEnv env;
        env.Store(env.LocalSettings(0));
        CLumbraDlg dlg;
        QVERIFY(Init(dlg));
        const QString exported = env.Path("device.pem");
        QStringList shown;
        ChangeNetwork(dlg, [&](CLumbraNetworkDlg& n) {
            auto* fingerprint = Control<QLineEdit>(n, ids::IDC_EDIT_TLS_FINGERPRINT);
            shown << fingerprint->text();
            Control<QRadioButton>(n, ids::IDC_RADIO_TLS_OFF + mode)->click();
            Control<QCheckBox>(n, ids::IDC_CHECK_TLS_LEGACY)->setChecked(legacy);
            shown << fingerprint->text();
            n.SetSaveFilePicker([&](QWidget*, const QString&, const QString&) { return exported; });
            Control<QPushButton>(n, ids::IDC_BUTTON_TLS_EXPORT)->click();
        });
        Control<QPushButton>(dlg, ids::IDOK)->click();

        QCOMPARE(StoredDword(settings_keys::kTlsMode), std::uint32_t(mode));
        QCOMPARE(StoredDword(settings_keys::kTlsLegacy), std::uint32_t(legacy));
        const auto served = theServer.Settings();
        QCOMPARE(served->m_nTlsMode, mode);
        QVERIFY(served->m_pTls && served->m_pTls->Legacy() == legacy);
        const QString generated = QString::fromStdString(GeneratedCertificatePath());
        QCOMPARE(shown, QStringList({"FTPS를 켜면 인증서를 만듭니다.", PemFingerprint(ReadAll(generated))}));
        const QByteArray pem = ReadAll(exported);
        QCOMPARE(PemFingerprint(pem), shown[1]);
        QVERIFY(!pem.contains("PRIVATE KEY"));
        QCOMPARE(env.messages.size(), size_t(1));  // the save's success alone
    }

    // A certificate that cannot be read: a tray notice at start-up and a
    // message box at a save; required mode still refuses a clear login.
    void unusableCertificateReported()
    {
        GuiTestEnv env;
        LumbraSettings stored = env.LocalSettings(1);
        stored.m_Tls.mode = kTlsRequired;
        env.Store(stored);
        QFile junk(QString::fromStdString(GeneratedCertificatePath()));
        QVERIFY(junk.open(QIODevice::WriteOnly) && junk.write("not a certificate\n") > 0);
        junk.close();
        CLumbraDlg dlg;
        QVERIFY(Init(dlg));
        QVERIFY(theServer.IsRunning() && !theServer.Settings()->m_pTls);
        QTcpSocket client;
        client.connectToHost("127.0.0.1", stored.m_nPort);
        client.write("USER anonymous\r\n");
        QByteArray replies;
        QTRY_VERIFY_WITH_TIMEOUT(replies.append(client.readAll()).endsWith("530 TLS required: use AUTH TLS first.\r\n"), 5000);

        ChangeNetwork(dlg, [](CLumbraNetworkDlg& n) {
            QCOMPARE(Text(n, ids::IDC_EDIT_TLS_FINGERPRINT), QString("인증서를 만들거나 읽지 못했습니다."));
            QVERIFY(!Control<QPushButton>(n, ids::IDC_BUTTON_TLS_EXPORT)->isEnabled());
            Control<QRadioButton>(n, ids::IDC_RADIO_TLS_OFFERED)->click();
        });
        Control<QPushButton>(dlg, ids::IDOK)->click();
        const std::vector<std::string> notices = env.Notices();
        QCOMPARE(notices.size(), size_t(1));
        QVERIFY(notices[0].find("인증서를 만들거나 읽지 못했습니다") != std::string::npos);
        QVERIFY(notices[0].find("로그인을 모두 거절합니다") != std::string::npos);
        const ShownMessage& atSave = env.messages.back();
        QVERIFY(atSave.icon == platform::MessageIcon::Warning && atSave.buttons == platform::MessageButtons::Ok);
        QVERIFY(atSave.text.find("암호화하지 않은 연결만 받습니다") != std::string::npos);
    }

    void browseSetsTheHomeFolder()
    {
        GuiTestEnv env;
        env.Store(env.LocalSettings(0));
        CLumbraDlg dlg;
        QVERIFY(Init(dlg));
        QString picked, title;
        dlg.SetFolderPicker([&](QWidget*, const QString& t, const QString&) {
            title = t;
            return picked;
        });
        const QString before = Text(dlg, ids::IDC_EDIT_HOMEPATH);

        picked.clear();  // cancelled
        Control<QPushButton>(dlg, ids::IDC_BUTTON_BROWSE)->click();
        QCOMPARE(title, QString("FTP 저장경로를 선택하세요 :"));
        QCOMPARE(Text(dlg, ids::IDC_EDIT_HOMEPATH), before);
        QVERIFY(env.messages.empty());

        picked = env.Path("no such folder");
        Control<QPushButton>(dlg, ids::IDC_BUTTON_BROWSE)->click();
        QVERIFY(env.Shown("경로 취득에 실패하였습니다."));
        QCOMPARE(Text(dlg, ids::IDC_EDIT_HOMEPATH), before);

        QVERIFY(QDir().mkpath(env.Path("스캔")));
        picked = env.Path("스캔");
        Control<QLineEdit>(dlg, ids::IDC_EDIT_USERID)->setText("typed");
        Control<QPushButton>(dlg, ids::IDC_BUTTON_BROWSE)->click();
        QCOMPARE(Text(dlg, ids::IDC_EDIT_HOMEPATH), picked);
        QCOMPARE(Text(dlg, ids::IDC_EDIT_USERID), QString("anonymous"));  // reverted
    }

    void minimiseAndCloseHideToTheTray()
    {
        GuiTestEnv env;
        env.Store(env.LocalSettings(0));
        CLumbraDlg dlg;
        QVERIFY(Init(dlg));
        dlg.show();
        dlg.setWindowState(Qt::WindowMinimized);
        QVERIFY(HiddenAfterEvents(dlg));
        QVERIFY(!(dlg.windowState() & Qt::WindowMinimized));
        dlg.show();
        dlg.close();
        QVERIFY(HiddenAfterEvents(dlg));
    }
};

QTEST_MAIN(MainDlgTest)
#include "gui_main_dlg.moc"
