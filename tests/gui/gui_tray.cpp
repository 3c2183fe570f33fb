// The tray menu and its stand-in window: the four commands, and the start
// and stop items following the server whoever starts or stops it.
#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTimer>
#include <QToolButton>
#include <cerrno>

#include "app/app_icon.h"
#include "app/command_ids.h"
#include "app/server_notices.h"
#include "app/vesk_tray.h"
#include "gui_test_env.h"
#include "server/ftp_server.h"

namespace {

ServerSettings LocalServer(int port)
{
    ServerSettings s;
    s.m_strBindAddress = "127.0.0.1";
    s.m_nPort = port;
    return s;
}

struct Enabling {
    bool start, stop;
    bool operator==(const Enabling&) const = default;
};

Enabling ServerItems(const CVeskTray& tray)
{
    return {tray.Action(ids::ID_MENU_SERVER_START)->isEnabled(), tray.Action(ids::ID_MENU_SERVER_STOP)->isEnabled()};
}

constexpr Enabling kStopped{true, false};
constexpr Enabling kRunning{false, true};

}  // namespace

class TrayTest : public QObject {
    Q_OBJECT
private slots:
    void menuHoldsTheFourCommands()
    {
        GuiTestEnv env;
        CVeskTray tray;
        QVERIFY(tray.Create(LoadAppIcon()));
        QStringList texts;
        for (QAction* a : tray.Menu()->actions())
            texts << (a->isSeparator() ? QString("-") : a->text());
        QCOMPARE(texts, QStringList({"환경설정", "-", "서버시작", "서버멈춤", "-", "종료"}));
        QVERIFY(tray.Action(ids::ID_MENU_SETTINGS)->isEnabled());
        QVERIFY(tray.Action(ids::ID_MENU_EXIT)->isEnabled());
    }

    // Updated as the server changes, before the menu is ever opened.
    void startAndStopFollowTheServer()
    {
        GuiTestEnv env;
        CVeskTray tray;
        QVERIFY(tray.Create(LoadAppIcon()));
        QCOMPARE(ServerItems(tray), kStopped);
        theServer.SetSettings(LocalServer(GuiTestEnv::FreePort()));
        QVERIFY(ServerControl::Instance().Start());
        QCOMPARE(ServerItems(tray), kRunning);
        ServerControl::Instance().Stop();
        QCOMPARE(ServerItems(tray), kStopped);
    }

    // The tooltip follows every save, start and stop; each failed start is
    // noticed with its cause and remedy, "서버시작" again noticed again.
    void failedStartsAreNoticedAndTheTooltipFollows()
    {
        GuiTestEnv env;
        CVeskTray tray;
        QVERIFY(tray.Create(LoadAppIcon()));
        ServerControl& server = ServerControl::Instance();
        QTcpServer occupant;
        QVERIFY(occupant.listen(QHostAddress::LocalHost, 0));
        const QString busy = QString::number(occupant.serverPort());
        server.SetSettings(LocalServer(occupant.serverPort()));
        QCOMPARE(tray.ToolTip(), "Orvello — 127.0.0.1:" + busy + " 멈춤");
        QVERIFY(!server.Start());
        QVERIFY(!server.Start());
        QCOMPARE(ServerItems(tray), kStopped);
        const std::string inUse = "서버를 시작하지 못했습니다: 포트 " + busy.toStdString() +
                                  "번을 다른 프로그램이 쓰고 있습니다.\n그 프로그램을 끝내거나 "
                                  "환경설정의 \"Network 변경\"에서 다른 포트를 고르세요.";
        QCOMPARE(env.Notices(), (std::vector<std::string>{inUse, inUse}));

        const QString free = QString::number(GuiTestEnv::FreePort());
        server.SetSettings(LocalServer(free.toInt()));
        QCOMPARE(tray.ToolTip(), "Orvello — 127.0.0.1:" + free + " 멈춤");
        QVERIFY(server.Start());
        QCOMPARE(tray.ToolTip(), "Orvello — 127.0.0.1:" + free + " 대기 중");
        server.Stop();
        QCOMPARE(tray.ToolTip(), "Orvello — 127.0.0.1:" + free + " 멈춤");
        QCOMPARE(env.Notices().size(), size_t(2));
    }

    // The causes a test cannot bring about on every machine (port 21 needs
    // no capability as root), told with their remedies.
    void everyCauseHasItsRemedy()
    {
        ServerSettings s = LocalServer(21);
        s.m_strBindAddress = "192.0.2.1";
        const auto notice = [&s](ListenFailure failure, int error) {
            return StartFailureNotice(s, {.failure = failure, .error = error}, "/usr/bin/lumbra");
        };
        QCOMPARE(notice(ListenFailure::PortNeedsPrivilege, EACCES),
                 std::string("서버를 시작하지 못했습니다: 1024보다 작은 포트(21번)를 열 권한이 없습니다.\n"
                             "권한을 주려면 터미널에서 sudo setcap cap_net_bind_service=+ep /usr/bin/lumbra 를 "
                             "실행하고 프로그램을 다시 시작하세요.\n"
                             "또는 환경설정의 \"Network 변경\"에서 1024 이상의 포트를 고르세요."));
        QCOMPARE(notice(ListenFailure::AddressNotLocal, EADDRNOTAVAIL),
                 std::string("서버를 시작하지 못했습니다: 이 컴퓨터의 주소가 아닙니다: 192.0.2.1\n"
                             "환경설정의 \"Network 변경\"에서 주소를 고르세요."));
        QCOMPARE(notice(ListenFailure::Other, EMFILE),
                 std::string("서버를 시작하지 못했습니다: 192.0.2.1:21 (Too many open files)"));
    }

    // While Stop waits for a connection to end, both items are greyed and a
    // start that slips in is refused.
    void startAndStopGreyedWhileStopping()
    {
        GuiTestEnv env;
        CVeskTray tray;
        QVERIFY(tray.Create(LoadAppIcon()));
        const int port = GuiTestEnv::FreePort();
        theServer.SetSettings(LocalServer(port));
        QVERIFY(ServerControl::Instance().Start());
        QTcpSocket client;
        client.connectToHost("127.0.0.1", port);
        QTRY_VERIFY_WITH_TIMEOUT(client.bytesAvailable() > 0, 5000);

        Enabling during{true, true};
        bool lateStart = true;
        QTimer::singleShot(0, [&] {
            during = ServerItems(tray);
            lateStart = ServerControl::Instance().Start();
        });
        ServerControl::Instance().Stop();
        QCOMPARE(during, (Enabling{false, false}));
        QVERIFY(!lateStart);
        QVERIFY(!theServer.IsRunning());
        QCOMPARE(ServerItems(tray), kStopped);
    }

    // The offscreen platform has no notification area: the window stands in.
    void standInWindowMirrorsTheMenu()
    {
        GuiTestEnv env;
        CVeskTray tray;
        QVERIFY(tray.Create(LoadAppIcon()));
        QVERIFY(!tray.TrayIcon());
        CVeskControlWindow* window = tray.ControlWindow();
        QVERIFY(window && window->isVisible());
        QCOMPARE(window->windowTitle(), QString("Orvello"));
        auto button = [&](int id) { return Control<QToolButton>(*window, id); };
        QCOMPARE(button(ids::ID_MENU_SERVER_START)->text(), QString("서버시작"));
        QVERIFY(button(ids::ID_MENU_SERVER_START)->isEnabled());
        QVERIFY(!button(ids::ID_MENU_SERVER_STOP)->isEnabled());

        ServerControl::Instance().SetSettings(LocalServer(GuiTestEnv::FreePort()));
        QVERIFY(ServerControl::Instance().Start());
        QVERIFY(!button(ids::ID_MENU_SERVER_START)->isEnabled());
        QVERIFY(button(ids::ID_MENU_SERVER_STOP)->isEnabled());
        QCOMPARE(window->Status(), tray.ToolTip());  // no tray to show notices or a tooltip
        tray.ShowNotice("서버를 시작하지 못했습니다", QSystemTrayIcon::Warning);
        QCOMPARE(window->Status(), QString("서버를 시작하지 못했습니다"));

        QSignalSpy exitChosen(tray.Action(ids::ID_MENU_EXIT), &QAction::triggered);
        button(ids::ID_MENU_EXIT)->click();
        QCOMPARE(exitChosen.count(), 1);

        QSignalSpy opened(&tray, &CVeskTray::openRequested);
        QTest::mouseDClick(window, Qt::LeftButton);
        QCOMPARE(opened.count(), 1);
        window->close();  // closing would strand the user: it stays
        QVERIFY(window->isVisible());

        tray.Remove();
        QVERIFY(!tray.ControlWindow());
    }

    // Off xcb, tray hosts speak StatusNotifierItem and report one activation.
    void activationsThatOpenTheSettings()
    {
        GuiTestEnv env;
        CVeskTray tray;
        QVERIFY(tray.Create(LoadAppIcon()));
        QSignalSpy opened(&tray, &CVeskTray::openRequested);
        tray.OnTrayNotification(QSystemTrayIcon::Context);
        tray.OnTrayNotification(QSystemTrayIcon::MiddleClick);
        QCOMPARE(opened.count(), 0);
        tray.OnTrayNotification(QSystemTrayIcon::DoubleClick);
        QCOMPARE(opened.count(), 1);
        tray.OnTrayNotification(QSystemTrayIcon::Trigger);
        QCOMPARE(opened.count(), 2);
    }
};

QTEST_MAIN(TrayTest)
#include "gui_tray.moc"
