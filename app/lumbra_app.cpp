#include "app/lumbra_app.h"

#include <QAction>
#include <QCoreApplication>
#include <QGuiApplication>

#include "app/app_icon.h"
#include "app/command_ids.h"
#include "app/lumbra_dlg.h"
#include "app/qt_message_box.h"
#include "app/scan_notices.h"
#include "app/server_control.h"
#include "app/server_notices.h"
#include "platform/message_box.h"
#include "platform/process_list.h"
#include "server/ftp_server.h"
#include "settings/run_entry.h"
#include "settings/settings_store.h"

using platform::AfxMessageBox;
using platform::MessageButtons;
using platform::MessageIcon;
using platform::MessageResult;

namespace {
constexpr const char* kExecutableName = "lumbra";
}

CLumbraApp::CLumbraApp() = default;

CLumbraApp::~CLumbraApp()
{
    delete m_pMainDlg;
}

QIcon CLumbraApp::LoadMainIcon()
{
    return LoadAppIcon();
}

bool CLumbraApp::IsAlreadyRunning()
{
    const int copies = platform::CountProcessesNamed(kExecutableName, ProcessListRoot());
    if (copies < 0) {
        AfxMessageBox("Unknown Application Alive or Not");
        return false;
    }
    if (copies > 1) {  // this copy is one of them
        AfxMessageBox("프로그램이 이미 실행 중 입니다.", MessageIcon::Information);
        return true;
    }
    return false;
}

bool CLumbraApp::InitInstance()
{
    if (IsAlreadyRunning())
        return false;
    if (!InitSockets()) {
        AfxMessageBox("Windows 소켓을 초기화하지 못했습니다.");
        return false;
    }
    // Lets the desktop match the windows and the tray item to lumbra.desktop.
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kExecutableName));

    if (!m_TrayIcon.Create(LoadMainIcon())) {
        AfxMessageBox("Orvello 프로그램 시작에 실패하였습니다.(" + std::to_string(m_TrayIcon.LastError()) + ")",
                      MessageIcon::Error);
        return false;
    }
    const bool firstStart = !SettingsKeyExists();
    if (!EnsureSettingsKey()) {
        AfxMessageBox("환경정보 생성/접근에 실패하였습니다.", MessageIcon::Error);
        return false;
    }
    MakeRunEntryAgreeAtFirstStart();  // auto-start is on by default

    m_pMainDlg = new CLumbraDlg;
    connect(m_TrayIcon.Action(ids::ID_MENU_SETTINGS), &QAction::triggered, this, &CLumbraApp::OnSettings);
    connect(m_TrayIcon.Action(ids::ID_MENU_SERVER_START), &QAction::triggered, m_pMainDlg,
            &CLumbraDlg::OnServerStart);
    connect(m_TrayIcon.Action(ids::ID_MENU_SERVER_STOP), &QAction::triggered, m_pMainDlg, &CLumbraDlg::OnServerStop);
    connect(m_TrayIcon.Action(ids::ID_MENU_EXIT), &QAction::triggered, this, &CLumbraApp::OnAppExit);
    connect(&m_TrayIcon, &CVeskTray::openRequested, this, &CLumbraApp::ShowSettingsInFront);

    SetNoticeSink([this](const QString& text, MessageIcon icon) {
        m_TrayIcon.ShowNotice(text, icon == MessageIcon::Information ? QSystemTrayIcon::Information
                                                                     : QSystemTrayIcon::Warning);
    });
    theServer.SetScanListener([this](const ScanEvent& event) {
        m_TrayIcon.ExpectNoticeFolder(QString::fromStdString(ScanNoticeText(event)),
                                      QString::fromStdString(ScanNoticeFolder(event)));
        ShowScanNotice(event);
    });

    m_pMainDlg->OnInitDialog();
    if (firstStart)
        platform::ShowNotice(FirstStartNotice(*theServer.Settings()));
    return true;
}

int CLumbraApp::Run()
{
    if (m_bExitRequested)
        return 0;
    return QCoreApplication::exec();
}

int CLumbraApp::ExitInstance()
{
    delete m_pMainDlg;
    m_pMainDlg = nullptr;
    ServerControl::Instance().Stop();
    theServer.SetScanListener({});
    SetNoticeSink({});
    m_TrayIcon.Remove();
    return 0;
}

void CLumbraApp::OnSettings()
{
    if (!m_pMainDlg)
        return;
    m_pMainDlg->showNormal();
    m_pMainDlg->show();
}

void CLumbraApp::ShowSettingsInFront()
{
    if (!m_pMainDlg)
        return;
    m_pMainDlg->show();
    m_pMainDlg->raise();
    m_pMainDlg->activateWindow();
}

void CLumbraApp::OnAppExit()
{
    if (AfxMessageBox("프로그램을 종료하시겠습니까?", MessageIcon::Question, MessageButtons::YesNo) ==
        MessageResult::Yes)
        ExitProgram();
}

void CLumbraApp::ExitProgram()
{
    if (m_pMainDlg)
        m_pMainDlg->hide();
    m_bExitRequested = true;
    QCoreApplication::exit(0);
}
