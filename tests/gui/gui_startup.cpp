// Start-up and exit of the program: the single-instance rule, every failure
// path with its message, and the exit through the tray menu that ends the
// connections and takes the icon down.
#include <unistd.h>

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTcpSocket>
#include <QTimer>

#include "app/command_ids.h"
#include "app/lumbra_app.h"
#include "app/lumbra_dlg.h"
#include "gui_test_env.h"
#include "platform/process_list.h"
#include "server/ftp_server.h"
#include "settings/adapter_wait.h"

namespace {

// A process list of our own making: <pid>/exe links and <pid>/comm files.
class FakeProc {
public:
    explicit FakeProc(const QString& root) : m_root(root) { QDir().mkpath(root); }
    void Exe(const QString& pid, const QString& target)
    {
        QDir().mkpath(m_root + "/" + pid);
        QVERIFY(::symlink(target.toUtf8().constData(), (m_root + "/" + pid + "/exe").toUtf8().constData()) == 0);
    }
    void Comm(const QString& pid, const QByteArray& name)
    {
        QDir().mkpath(m_root + "/" + pid);
        QFile file(m_root + "/" + pid + "/comm");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(name + "\n");
    }
    std::string Root() const { return m_root.toStdString(); }

private:
    QString m_root;
};

class TestApp : public CLumbraApp {
public:
    std::string procRoot = "/proc";
    bool socketsWork = true;
    bool iconMissing = false;

protected:
    bool InitSockets() override { return socketsWork; }
    QIcon LoadMainIcon() override { return iconMissing ? QIcon() : CLumbraApp::LoadMainIcon(); }
    std::string ProcessListRoot() const override { return procRoot; }
};

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT
private slots:
    void countsCopiesByExecutableName()
    {
        GuiTestEnv env;
        FakeProc proc(env.Path("proc"));
        proc.Exe("100", "/usr/bin/lumbra");
        proc.Exe("101", "/opt/orvello/LUMBRA");
        proc.Comm("102", "lumbra");  // another user's: no readable exe
        proc.Exe("103", "/home/u/lumbra (deleted)");
        proc.Exe("104", "/usr/bin/lumbra-ftpd");
        proc.Exe("105", "/usr/bin/lumbra2");  // a renamed copy is not counted
        proc.Exe("self", "/usr/bin/lumbra");
        QCOMPARE(platform::CountProcessesNamed("lumbra", proc.Root()), 4);
        QCOMPARE(platform::CountProcessesNamed("lumbra", env.Path("no proc").toStdString()), -1);
    }

    void secondCopyEndsWithItsMessage()
    {
        GuiTestEnv env;
        FakeProc proc(env.Path("proc"));
        proc.Exe("1", "/usr/bin/lumbra");
        proc.Exe("2", "/usr/local/bin/Lumbra");
        TestApp app;
        app.procRoot = proc.Root();
        QVERIFY(!app.InitInstance());
        QCOMPARE(env.messages.size(), size_t(1));
        QCOMPARE(env.messages[0].text, std::string("프로그램이 이미 실행 중 입니다."));
        QCOMPARE(env.messages[0].icon, platform::MessageIcon::Information);
        QVERIFY(!app.m_pMainDlg);
        QVERIFY(!app.m_TrayIcon.Menu());
    }

    void unreadableProcessListIsReportedAndStartUpGoesOn()
    {
        GuiTestEnv env;
        TestApp app;
        app.procRoot = env.Path("no proc").toStdString();
        QVERIFY(app.InitInstance());
        QCOMPARE(env.messages[0].text, std::string("Unknown Application Alive or Not"));
        QCOMPARE(env.messages[0].icon, platform::MessageIcon::None);
        QVERIFY(app.m_pMainDlg);
        app.ExitInstance();
    }

    void failedStepsEndStartUp_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("icon");
        QTest::addColumn<bool>("trayCreated");
        QTest::newRow("sockets") << 0 << "Windows 소켓을 초기화하지 못했습니다." << int(platform::MessageIcon::None)
                                 << false;
        QTest::newRow("tray icon") << 1 << "Orvello 프로그램 시작에 실패하였습니다.(2)"
                                   << int(platform::MessageIcon::Error) << false;
        QTest::newRow("settings key") << 2 << "환경정보 생성/접근에 실패하였습니다."
                                      << int(platform::MessageIcon::Error) << true;
    }
    void failedStepsEndStartUp()
    {
        QFETCH(int, step);
        QFETCH(QString, message);
        QFETCH(int, icon);
        QFETCH(bool, trayCreated);
        GuiTestEnv env;
        TestApp app;
        app.socketsWork = step != 0;
        app.iconMissing = step == 1;
        if (step == 2) {  // the configuration folder lies below a plain file
            QFile blocker(env.Path("blocker"));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            qputenv("XDG_CONFIG_HOME", env.Path("blocker/config").toUtf8());
        }
        QVERIFY(!app.InitInstance());
        QCOMPARE(env.messages.size(), size_t(1));
        QCOMPARE(QString::fromStdString(env.messages[0].text), message);
        QCOMPARE(int(env.messages[0].icon), icon);
        QVERIFY(!app.m_pMainDlg);
        QCOMPARE(app.m_TrayIcon.Menu() != nullptr, trayCreated);
        app.ExitInstance();
        QVERIFY(!app.m_TrayIcon.ControlWindow());  // the icon goes with the program
    }

    // Auto-start is on by default: the first start writes the entry, and on
    // a fresh installation it can be turned off and on again, also when the
    // entry has gone (removed by hand or by the desktop's own settings).
    void firstStartWritesTheAutostartEntryThatSavesTurnOffAndOn()
    {
        for (const bool entryRemovedByHand : {false, true}) {
            GuiTestEnv env;
            env.SetAdapters({{"eth9", "192.0.2.1"}});  // no port 21 is taken here
            const QString entry = env.Path("config/autostart/Lumbra.desktop");
            const QString exec = "\nExec=\"" + QCoreApplication::applicationFilePath() + "\"\n";
            auto entryStartsUs = [&] {
                QFile file(entry);
                return file.open(QIODevice::ReadOnly) && QString::fromUtf8(file.readAll()).contains(exec);
            };
            TestApp app;
            QVERIFY(app.InitInstance());
            QVERIFY(entryStartsUs());
            if (entryRemovedByHand)
                QVERIFY(QFile::remove(entry));
            for (const bool on : {false, true}) {
                env.messages.clear();
                app.m_TrayIcon.Action(ids::ID_MENU_SETTINGS)->trigger();
                Control<QCheckBox>(*app.m_pMainDlg, ids::IDC_CHECK_AUTOSTART)->setChecked(on);
                Control<QPushButton>(*app.m_pMainDlg, ids::IDOK)->click();
                QVERIFY(env.Shown("환경설정정보 등록에 성공하였습니다."));
                QCOMPARE(entryStartsUs(), on);
                QCOMPARE(QFile::exists(entry), on);
            }
            app.ExitInstance();
        }
    }

    void trayOpensTheSettings()
    {
        GuiTestEnv env;
        env.Store(env.LocalSettings(0));
        TestApp app;
        QVERIFY(app.InitInstance());
        QCoreApplication::processEvents();
        QVERIFY(!app.m_pMainDlg->isVisible());
        app.m_TrayIcon.Action(ids::ID_MENU_SETTINGS)->trigger();
        QVERIFY(app.m_pMainDlg->isVisible());
        app.m_pMainDlg->hide();
        emit app.m_TrayIcon.openRequested();  // a double click on the icon
        QVERIFY(app.m_pMainDlg->isVisible());
        app.ExitInstance();
    }

    // The menu's start and stop reach the server through the dialog.
    void trayStartsAndStopsTheServer()
    {
        GuiTestEnv env;
        env.Store(env.LocalSettings(0));
        TestApp app;
        QVERIFY(app.InitInstance());
        QVERIFY(!theServer.IsRunning());
        app.m_TrayIcon.Action(ids::ID_MENU_SERVER_START)->trigger();
        QVERIFY(theServer.IsRunning());
        QVERIFY(!app.m_TrayIcon.Action(ids::ID_MENU_SERVER_START)->isEnabled());
        app.m_TrayIcon.Action(ids::ID_MENU_SERVER_STOP)->trigger();
        QVERIFY(!theServer.IsRunning());
        app.ExitInstance();
    }

    // A fresh installation gets its settings key and tells once where the
    // device must deliver and that anonymous login is on; the start that
    // fails (no port 21 is taken here) says why beside it.
    void firstStartCreatesTheSettingsKeyAndTellsTheDeviceSettings()
    {
        GuiTestEnv env;
        env.SetAdapters({{"eth0", "192.0.2.10"}});  // not this machine's
        {
            TestApp app;
            QVERIFY(app.InitInstance());
            QVERIFY(QFile::exists(env.Path("config/Tessaly/Lumbra.reg")));
            app.ExitInstance();
        }
        const std::vector<std::string> expected{
            "서버를 시작하지 못했습니다: 이 컴퓨터의 주소가 아닙니다: 192.0.2.10\n"
            "환경설정의 \"Network 변경\"에서 주소를 고르세요.",
            "스캐너(복합기)의 FTP 설정에 다음을 입력하세요. 서버 주소: 192.0.2.10, 포트: 21\n"
            "지금은 익명 로그인이 켜져 있어 누구나 보낼 수 있습니다. 사용자를 정하려면 트레이 메뉴의 "
            "\"환경설정\"에서 Anonymous를 끄고 사용자 ID와 비밀번호를 입력한 뒤 \"설정\"을 누르세요."};
        QCOMPARE(env.Notices(), expected);
        TestApp again;
        QVERIFY(again.InitInstance());
        QCOMPARE(env.Notices().size(), expected.size() + 1);  // only the failed start
        again.ExitInstance();
    }

    // The stored adapter is down: nothing is served elsewhere meanwhile, and
    // its address is served as soon as it comes up.
    void storedAdapterWithoutAddressIsWaitedFor()
    {
        GuiTestEnv env;
        env.SetAdapters({{"lo", "127.0.0.1"}, {"eth1", "127.0.0.2"}});
        LumbraSettings stored = env.LocalSettings(1);
        stored.m_strIPAddress = "127.0.0.2";
        env.Store(stored);
        env.SetAdapters({{"lo", "127.0.0.1"}});
        TestApp app;
        QVERIFY(app.InitInstance());
        const QString port = ":" + QString::number(stored.m_nPort);
        QCOMPARE(app.m_TrayIcon.ToolTip(), "Orvello — eth1" + port + " 주소 기다리는 중");
        QVERIFY(!theServer.IsRunning());
        QVERIFY(app.m_TrayIcon.Action(ids::ID_MENU_SERVER_STOP)->isEnabled());  // ends the wait

        env.SetAdapters({{"lo", "127.0.0.1"}, {"eth1", "127.0.0.2"}});
        QTRY_VERIFY_WITH_TIMEOUT(theServer.IsRunning(), 3 * AdapterWait::kLookEveryMs);
        QCOMPARE(app.m_TrayIcon.ToolTip(), "Orvello — 127.0.0.2" + port + " 대기 중");
        QCOMPARE(app.m_pMainDlg->HeldValues().m_strIPAddress, std::string("127.0.0.2"));
        const std::vector<std::string> expected{
            "네트워크 어댑터 eth1에 주소가 없습니다. 주소가 생기면 그 주소로 서버를 시작합니다.\n"
            "다른 어댑터를 쓰려면 환경설정의 \"Network 변경\"에서 주소를 고르세요.",
            "네트워크 어댑터 eth1에 주소가 생겨 서버를 시작했습니다: 127.0.0.2" + port.toStdString()};
        QCOMPARE(env.Notices(), expected);
        app.ExitInstance();
    }

    void exitAnsweredNoChangesNothing()
    {
        GuiTestEnv env;
        env.Store(env.LocalSettings(1));
        TestApp app;
        QVERIFY(app.InitInstance());
        QVERIFY(theServer.IsRunning());
        env.answers.push_back(platform::MessageResult::No);
        app.m_TrayIcon.Action(ids::ID_MENU_EXIT)->trigger();
        QCOMPARE(env.messages.back().text, std::string("프로그램을 종료하시겠습니까?"));
        QCOMPARE(env.messages.back().icon, platform::MessageIcon::Question);
        QVERIFY(theServer.IsRunning());
        QVERIFY(app.m_TrayIcon.ControlWindow());
        app.ExitInstance();
    }

    // The whole life: started with auto-start on, a client connected, the
    // tray's exit chosen and confirmed.
    void exitThroughTheMenuEndsConnectionsAndRemovesTheIcon()
    {
        GuiTestEnv env;
        const LumbraSettings stored = env.LocalSettings(1);
        env.Store(stored);
        TestApp app;
        QVERIFY(app.InitInstance());
        QVERIFY(theServer.IsRunning());
        QTcpSocket client;
        client.connectToHost("127.0.0.1", stored.m_nPort);
        QTRY_VERIFY_WITH_TIMEOUT(client.bytesAvailable() > 0, 5000);

        env.answers.push_back(platform::MessageResult::Yes);
        QTimer::singleShot(0, app.m_TrayIcon.Action(ids::ID_MENU_EXIT), &QAction::trigger);
        QTimer watchdog;
        watchdog.callOnTimeout([] { QCoreApplication::exit(1); });
        watchdog.start(10000);
        QCOMPARE(app.Run(), 0);
        QCOMPARE(app.ExitInstance(), 0);

        QVERIFY(!theServer.IsRunning());
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 5000);
        QVERIFY(!app.m_pMainDlg);
        QVERIFY(!app.m_TrayIcon.ControlWindow() && !app.m_TrayIcon.TrayIcon());
    }
};

QTEST_MAIN(StartupTest)
#include "gui_startup.moc"
