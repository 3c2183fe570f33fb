// Screenshot mode: with LUMBRA_SCREENSHOT_DIR set (tools/screenshots.sh runs
// it under Xvfb) the dialogs, the tray menu and a message box are saved there
// as PNG files.
// Without it every case is skipped.
#include <QApplication>
#include <QMenu>
#include <QPushButton>
#include <QTimer>

#include "app/app_icon.h"
#include "app/command_ids.h"
#include "app/lumbra_app.h"
#include "app/lumbra_dlg.h"
#include "app/qt_message_box.h"
#include "app/qt_translation.h"
#include "app/lumbra_network_dlg.h"
#include "app/vesk_tray.h"
#include "gui_test_env.h"

namespace {

QString OutputDir()
{
    return qEnvironmentVariable("LUMBRA_SCREENSHOT_DIR");
}

void Save(QWidget* widget, const char* name)
{
    QCoreApplication::processEvents();
    QVERIFY(widget->grab().save(OutputDir() + "/" + name));
}

}  // namespace

class Screenshots : public QObject {
    Q_OBJECT

    GuiTestEnv* m_pEnv = nullptr;

private slots:
    void init()
    {
        if (OutputDir().isEmpty())
            QSKIP("LUMBRA_SCREENSHOT_DIR is not set");
        m_pEnv = new GuiTestEnv;
        m_pEnv->SetAdapters({{"eth0", "192.168.0.10"}, {"wlan0", "10.0.0.5"}});
        LumbraSettings s;
        s.m_bLaunchOnStartup = 0;  // nothing listens while the pictures are taken
        s.m_strIPAddress = "192.168.0.10";
        s.m_strHomePath = "/home/user/VESK_SCAN";
        s.m_bAnonymous = 0;
        s.m_strUserID = "scanner";
        s.m_strPassword = "secret";
        m_pEnv->Store(s);
    }

    void cleanup()
    {
        delete m_pEnv;
        m_pEnv = nullptr;
    }

    void mainDialog()
    {
        CLumbraDlg dlg;
        QVERIFY(dlg.OnInitDialog());
        QCoreApplication::processEvents();
        dlg.show();
        Save(&dlg, "main-dialog.png");
    }

    void networkDialog()
    {
        CLumbraNetworkDlg dlg;
        dlg.m_strIPAddress = "192.168.0.10";
        dlg.m_nPort = 21;
        dlg.m_nTimeout = 5;
        dlg.m_Tls.mode = kTlsOffered;  // the certificate made, its fingerprint shown
        dlg.OnInitDialog();
        dlg.show();
        Save(&dlg, "network-dialog.png");
    }

    void trayMenu()
    {
        CVeskTray tray;
        QVERIFY(tray.Create(LoadAppIcon()));
        tray.Menu()->popup(QPoint(0, 0));
        Save(tray.Menu(), "tray-menu.png");
        tray.Menu()->hide();
        if (tray.ControlWindow())
            Save(tray.ControlWindow(), "control-window.png");
    }

    // The exit question as the program shows it: Qt's box with its standard
    // buttons in Korean.
    void koreanMessageBox()
    {
        QVERIFY(InstallKoreanQtTranslation(*qApp));
        InstallQtMessageBoxes();
        QTimer::singleShot(300, [] {
            QWidget* box = QApplication::activeModalWidget();
            QVERIFY(box);
            Save(box, "message-box.png");
            box->close();
        });
        CLumbraApp app;  // not started: OnAppExit only asks
        app.OnAppExit();
        platform::SetMessageBoxHandler({});
    }
};

QTEST_MAIN(Screenshots)
#include "gui_screenshots.moc"
