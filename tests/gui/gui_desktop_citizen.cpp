// The desktop program as a citizen of a Linux desktop: Enter and Escape in
// both dialogs, Qt's own texts in Korean, the notices of arriving scans, and
// the passive ports reaching the server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDesktopServices>
#include <QUrl>
#include <QFile>
#include <QLibraryInfo>
#include <QThread>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <regex>
#include <thread>

#include "app/command_ids.h"
#include "app/lumbra_app.h"
#include "app/lumbra_dlg.h"
#include "app/lumbra_network_dlg.h"
#include "app/qt_message_box.h"
#include "app/qt_translation.h"
#include "app/scan_notices.h"
#include "gui_test_env.h"
#include "server/ftp_server.h"
#include "settings/passive_ports.h"

namespace {

const std::string kSaved = "환경설정정보 등록에 성공하였습니다.";

// Presses Enter on `button` as the user does: it has the focus.
void EnterOn(QPushButton* button)
{
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Return);
}

QString WithoutMnemonic(QString text)
{
    return text.remove(QRegularExpression(QStringLiteral("\\(&.\\)|&"))).trimmed();
}

// Lowers this process's file size limit for its lifetime; writes past it
// fail with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        m_savedHandler = ::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = m_saved;
        lowered.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        ::signal(SIGXFSZ, m_savedHandler);
    }

private:
    rlimit m_saved{};
    sighandler_t m_savedHandler = SIG_DFL;
};

// Stands in for the desktop's opener of file URLs.
class UrlCatcher : public QObject {
    Q_OBJECT
public slots:
    void open(const QUrl& url) { urls << url; }

public:
    QList<QUrl> urls;
};

class TestApp : public CLumbraApp {
protected:
    std::string ProcessListRoot() const override { return "/nonexistent-proc"; }
};

// A blocking FTP client on 127.0.0.1 for a worker thread, enough to upload.
class MiniFtp {
public:
    explicit MiniFtp(int port) : m_fd(Connect(port)) { Reply(); }
    ~MiniFtp() { Close(m_fd); }

    std::string Command(const std::string& line)
    {
        const std::string wire = line + "\r\n";
        ::send(m_fd, wire.data(), wire.size(), MSG_NOSIGNAL);
        return Reply();
    }

    void Login()
    {
        Command("USER anonymous");
        Command("PASS scanner@");
    }

    // Opens a passive data connection; -1 on failure.
    int Passive()
    {
        const std::string reply = Command("EPSV");
        std::smatch m;
        if (!std::regex_search(reply, m, std::regex("\\|\\|\\|(\\d+)\\|")))
            return -1;
        return Connect(std::stoi(m[1]));
    }

    // STOR with `bytes`; returns the final reply.
    std::string Store(const std::string& name, const std::string& bytes)
    {
        const int data = Passive();
        const std::string opening = Command("STOR " + name);
        if (opening.rfind("150", 0) != 0) {
            Close(data);
            return opening;
        }
        ::send(data, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        Close(data);
        return Reply();
    }

private:
    static int Connect(int port)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    static void Close(int fd)
    {
        if (fd >= 0)
            ::close(fd);
    }

    std::string Reply()
    {
        std::string line;
        char c = 0;
        while (::recv(m_fd, &c, 1, 0) == 1 && c != '\n')
            line += c;
        return line;
    }

    int m_fd;
};

}  // namespace

class DesktopCitizenTest : public QObject {
    Q_OBJECT
private slots:
    // Enter on a focused push button presses that button, not "설정".
    void enterPressesTheFocusedButtonOfTheMainDialog()
    {
        GuiTestEnv env;
        env.Store(env.LocalSettings(0));
        CLumbraDlg dlg;
        QVERIFY(dlg.OnInitDialog());
        int browsed = 0;
        dlg.SetFolderPicker([&](QWidget*, const QString&, const QString&) {
            ++browsed;
            return QString();
        });
        dlg.show();

        EnterOn(Control<QPushButton>(dlg, ids::IDC_BUTTON_BROWSE));
        QCOMPARE(browsed, 1);
        QVERIFY(env.messages.empty());

        bool networkOpened = false;
        QTimer::singleShot(0, [&] {
            auto* network = qobject_cast<CLumbraNetworkDlg*>(QApplication::activeModalWidget());
            networkOpened = network != nullptr;
            if (network)
                network->reject();
        });
        EnterOn(Control<QPushButton>(dlg, ids::IDC_BUTTON_NETWORK));
        QVERIFY(networkOpened);
        QVERIFY(env.messages.empty());

        Control<QLineEdit>(dlg, ids::IDC_EDIT_USERID)->setText("half-typed");
        EnterOn(Control<QPushButton>(dlg, ids::IDCANCEL));
        QVERIFY(env.messages.empty());  // nothing saved
        QTRY_VERIFY(!dlg.isVisible());
        QCOMPARE(Control<QLineEdit>(dlg, ids::IDC_EDIT_USERID)->text(), QString("anonymous"));

        dlg.show();
        EnterOn(Control<QPushButton>(dlg, ids::IDOK));
        QVERIFY(env.Shown(kSaved));
        QTRY_VERIFY(!dlg.isVisible());
    }

    // In an edit Enter is the default button's; Escape cancels.
    void enterInAnEditSavesAndEscapeCancels()
    {
        GuiTestEnv env;
        env.Store(env.LocalSettings(0));
        CLumbraDlg dlg;
        QVERIFY(dlg.OnInitDialog());
        dlg.show();
        auto* userId = Control<QLineEdit>(dlg, ids::IDC_EDIT_USERID);
        userId->setFocus();
        QTest::keyClick(userId, Qt::Key_Escape);
        QVERIFY(env.messages.empty());
        QTRY_VERIFY(!dlg.isVisible());

        dlg.show();
        userId->setFocus();
        QTest::keyClick(userId, Qt::Key_Return);
        QVERIFY(env.Shown(kSaved));
    }

    void enterAndEscapeInTheNetworkDialog()
    {
        GuiTestEnv env;
        const auto run = [](auto press) {
            CLumbraNetworkDlg dlg;
            dlg.m_strIPAddress = "127.0.0.1";
            dlg.m_nPort = 21;
            dlg.m_nTimeout = 5;
            dlg.OnInitDialog();
            dlg.show();
            press(dlg);
            return dlg.result();
        };
        QCOMPARE(run([](CLumbraNetworkDlg& d) { EnterOn(Control<QPushButton>(d, ids::IDCANCEL)); }),
                 int(QDialog::Rejected));
        QCOMPARE(run([](CLumbraNetworkDlg& d) { EnterOn(Control<QPushButton>(d, ids::IDOK)); }),
                 int(QDialog::Accepted));
        QCOMPARE(run([](CLumbraNetworkDlg& d) {
                     auto* port = Control<QLineEdit>(d, ids::IDC_EDIT_PORT);
                     port->setFocus();
                     QTest::keyClick(port, Qt::Key_Return);
                 }),
                 int(QDialog::Accepted));
        QCOMPARE(run([](CLumbraNetworkDlg& d) { QTest::keyClick(&d, Qt::Key_Escape); }), int(QDialog::Rejected));
    }

    void qtsOwnTextsAreKorean()
    {
        const QString file = QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_ko.qm";
        if (!QFile::exists(file))
            QSKIP("qt6-translations-l10n is not installed");
        QVERIFY(InstallKoreanQtTranslation(*qApp));
        QMessageBox box(QMessageBox::Question, "lumbra", "?", QMessageBox::Yes | QMessageBox::No | QMessageBox::Ok);
        QCOMPARE(WithoutMnemonic(box.button(QMessageBox::Ok)->text()), QString("확인"));
        QCOMPARE(WithoutMnemonic(box.button(QMessageBox::Yes)->text()), QString("예"));
        QCOMPARE(WithoutMnemonic(box.button(QMessageBox::No)->text()), QString("아니요"));
        QVERIFY(QCoreApplication::translate("QFileDialog", "&Choose") != QLatin1String("&Choose"));
    }

    // A session that stored files gives one notice when it ends; a failed
    // upload gives its own. Both pass the message hook as notices.
    void arrivingScansAreNoticed()
    {
        GuiTestEnv env;
        LumbraSettings s = env.LocalSettings(1);
        env.Store(s);
        TestApp app;
        QVERIFY(app.InitInstance());
        QVERIFY(theServer.IsRunning());

        // The second session's file outgrows what this process may write:
        // the write fails half-way, as on a full disk.
        constexpr size_t kUploadBytes = 512 * 1024;
        FileSizeLimit limit(kUploadBytes / 2);
        std::atomic<bool> done{false};
        std::string replies;
        std::thread device([&] {
            {
                MiniFtp ftp(s.m_nPort);
                ftp.Login();
                replies += ftp.Store("page1.pdf", "%PDF-1 one") + "|";
                replies += ftp.Store("page2.pdf", "%PDF-1 two") + "|";
                ftp.Command("QUIT");
            }
            {
                MiniFtp ftp(s.m_nPort);
                ftp.Login();
                replies += ftp.Store("broken.pdf", std::string(kUploadBytes, 'x')) + "|";
                ftp.Command("QUIT");
            }
            done = true;
        });
        const auto notices = [&env] {
            std::vector<ShownMessage> found;
            for (const auto& m : env.messages) {
                if (m.buttons == platform::MessageButtons::Notice)
                    found.push_back(m);
            }
            return found;
        };
        QTRY_VERIFY_WITH_TIMEOUT(done && notices().size() >= 2, 15000);
        device.join();
        QCOMPARE(replies, std::string("226 Transfer complete\r|226 Transfer complete\r|450 Can't access file.\r|"));
        const auto shown = notices();
        QCOMPARE(shown.size(), size_t(2));
        QCOMPARE(shown[0].text, "스캔 파일 2개를 받았습니다.\n" + s.m_strHomePath);
        QCOMPARE(shown[0].icon, platform::MessageIcon::Information);
        QCOMPARE(shown[1].text, std::string("스캔 파일을 받지 못했습니다: broken.pdf"));
        app.ExitInstance();
    }

    // An address that keeps failing to log in gets one notice at its fifth
    // failure in a row, and none more within the hour.
    void repeatedLoginFailuresAreNoticedOncePerAddress()
    {
        GuiTestEnv env;
        env.Store(env.LocalSettings(0));
        TestApp app;
        QVERIFY(app.InitInstance());
        ScanEvent event;
        event.kind = ScanEvent::Kind::LoginFailed;
        for (const auto& [address, failures] : {std::pair{"192.168.0.77", 1}, {"192.168.0.77", 4}, {"192.168.0.77", 5},
                                                {"192.168.0.77", 6}, {"192.168.0.77", 9}, {"192.168.0.78", 5}}) {
            event.address = address;
            event.failures = failures;
            theServer.ReportScanEvent(event);
        }
        std::vector<std::string> shown;  // in order: the last event's notice comes last
        const auto noticed = [&] {
            shown.clear();
            for (const auto& m : env.messages)
                if (m.buttons == platform::MessageButtons::Notice)
                    shown.push_back(m.text);
            return shown.size() >= 2 && shown.back().ends_with(".78");
        };
        QTRY_VERIFY(noticed());
        QCOMPARE(shown, (std::vector<std::string>{"로그인 실패가 반복되고 있습니다: 192.168.0.77",
                                                  "로그인 실패가 반복되고 있습니다: 192.168.0.78"}));
        app.ExitInstance();
        LoginNoticeGate gate;  // the hour, on the events' clock
        QVERIFY(gate.Admit("192.168.0.77", 1000) && gate.Admit("192.168.0.78", 1000) &&
                !gate.Admit("192.168.0.77", 1000 + 3599) && gate.Admit("192.168.0.77", 1000 + 3600));
    }

    // A click on a scan notice opens the scans' folder with the desktop's
    // opener; a click on any other notice opens nothing.
    void clickOnAScanNoticeOpensItsFolder()
    {
        GuiTestEnv env;
        env.Store(env.LocalSettings(0));
        TestApp app;
        QVERIFY(app.InitInstance());
        UrlCatcher opener;
        QDesktopServices::setUrlHandler("file", &opener, "open");
        const std::string folder = env.Path("scans/job 1").toStdString();
        ScanEvent ended;
        ended.kind = ScanEvent::Kind::SessionEnded;
        ended.path = folder;
        ended.storedFiles = 1;
        theServer.ReportScanEvent(ended);
        QTRY_COMPARE(env.Notices().size(), size_t(1));
        // The test's message hook stands in for Qt's, which hands the notice to the tray.
        app.m_TrayIcon.ShowNotice(QString::fromStdString(env.Notices()[0]), QSystemTrayIcon::Information);
        app.m_TrayIcon.OnNoticeClicked();
        app.m_TrayIcon.ShowNotice("서버를 시작하지 못했습니다", QSystemTrayIcon::Warning);
        app.m_TrayIcon.OnNoticeClicked();
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(opener.urls, QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(folder))});
        app.ExitInstance();
    }

    // The Qt hook hands notices to the sink on the main thread and never
    // waits; without a sink (no tray) they are dropped.
    void noticesNeverWait()
    {
        InstallQtMessageBoxes();
        std::vector<QString> seen;
        SetNoticeSink([&](const QString& text, platform::MessageIcon) {
            QVERIFY(QThread::currentThread() == qApp->thread());
            seen.push_back(text);
        });
        std::thread([] { platform::ShowNotice("from a connection thread"); }).join();
        platform::ShowNotice("from the main thread");
        QTRY_COMPARE(seen.size(), size_t(2));
        SetNoticeSink({});
        platform::ShowNotice("nobody shows this");
        QCoreApplication::processEvents();
        for (QWidget* w : QApplication::topLevelWidgets())
            QVERIFY(!qobject_cast<QMessageBox*>(w) || !w->isVisible());
        platform::SetMessageBoxHandler({});
    }

    void storedPassivePortsReachTheServer()
    {
        GuiTestEnv env;
        env.Store(env.LocalSettings(0));
        QCOMPARE(StorePassivePorts({50000, 50100}), platform::ERROR_SUCCESS);
        CLumbraDlg dlg;
        QVERIFY(dlg.OnInitDialog());
        QCOMPARE(theServer.Settings()->m_PassivePorts, (PortRange{50000, 50100}));
        // A save keeps the range it does not show.
        dlg.OnBnClickedOk();
        QVERIFY(env.Shown(kSaved));
        QCOMPARE(theServer.Settings()->m_PassivePorts, (PortRange{50000, 50100}));
    }
};

QTEST_MAIN(DesktopCitizenTest)
#include "gui_desktop_citizen.moc"
