// The tray menu and its stand-in window: the four commands, and the start
// and stop items following the server whoever starts or stops it.
#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTimer>
#include <QToolButton>

#include "app/app_icon.h"
#include "app/command_ids.h"
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

    void failedStartLeavesStartEnabled()
    {
        GuiTestEnv env;
        CVeskTray tray;
        QVERIFY(tray.Create(LoadAppIcon()));
        QTcpServer occupant;
        QVERIFY(occupant.listen(QHostAddress::LocalHost, 0));
        theServer.SetSettings(LocalServer(occupant.serverPort()));
        QVERIFY(!ServerControl::Instance().Start());
        QCOMPARE(ServerItems(tray), kStopped);
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

        theServer.SetSettings(LocalServer(GuiTestEnv::FreePort()));
        QVERIFY(ServerControl::Instance().Start());
        QVERIFY(!button(ids::ID_MENU_SERVER_START)->isEnabled());
        QVERIFY(button(ids::ID_MENU_SERVER_STOP)->isEnabled());

        QSignalSpy exitChosen(tray.Action(ids::ID_MENU_EXIT), &QAction::triggered);
        button(ids::ID_MENU_EXIT)->click();
        QCOMPARE(exitChosen.count(), 1);

        QSignalSpy opened(&tray, &CVeskTray::openRequested);
        QTest::mouseDClick(window, Qt::LeftButton);
        QCOMPARE(opened.count(), 1);
        window->close();  // closing would strand the user: it stays
        QVERIFY(tray.ControlWindow());

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
