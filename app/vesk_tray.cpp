#include "app/vesk_tray.h"

#include <QAction>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMenu>
#include <QStyleHints>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cerrno>

#include "app/command_ids.h"
#include "app/control_window.h"
#include "app/server_control.h"

namespace {

constexpr const char* kProgramName = "Orvello";
// A tray host that comes up after the program (at logon) is still picked up.
constexpr int kTrayWatchIntervalMs = 2000;
constexpr int kTrayWatchRounds = 60;
constexpr int kNoticeShownMs = 10000;
// Folders of scan notices not shown yet; more would mean notices are lost.
constexpr size_t kExpectedFoldersKept = 16;

}  // namespace

CVeskTray::CVeskTray() = default;

CVeskTray::~CVeskTray()
{
    Remove();
}

bool CVeskTray::Create(const QIcon& icon)
{
    if (icon.isNull()) {
        m_nLastError = ENOENT;  // the icon resource is missing
        return false;
    }
    m_Icon = icon;
    BuildMenu();
    if (QSystemTrayIcon::isSystemTrayAvailable())
        ShowTrayIcon();
    else {
        ShowControlWindow();
        WatchForTrayHost();
    }
    return true;
}

void CVeskTray::BuildMenu()
{
    m_pMenu = std::make_unique<QMenu>();
    auto add = [this](int id, const QString& text) {
        QAction* action = m_pMenu->addAction(text);
        action->setObjectName(QString::number(id));
    };
    add(ids::ID_MENU_SETTINGS, QStringLiteral("환경설정"));
    m_pMenu->addSeparator();
    add(ids::ID_MENU_SERVER_START, QStringLiteral("서버시작"));
    add(ids::ID_MENU_SERVER_STOP, QStringLiteral("서버멈춤"));
    m_pMenu->addSeparator();
    add(ids::ID_MENU_EXIT, QStringLiteral("종료"));
    // Kept current at every change: some hosts show a menu as it was before
    // it opened.
    connect(&ServerControl::Instance(), &ServerControl::stateChanged, this, &CVeskTray::ShowServerState);
    connect(m_pMenu.get(), &QMenu::aboutToShow, this, &CVeskTray::ShowServerState);
    ShowServerState();
}

QAction* CVeskTray::Action(int id) const
{
    return m_pMenu ? m_pMenu->findChild<QAction*>(QString::number(id)) : nullptr;
}

// A wait for the adapter's address counts as started: stopping ends it.
void CVeskTray::ShowServerState()
{
    const ServerControl& server = ServerControl::Instance();
    const bool started = server.IsRunning() || server.IsWaitingForAdapter();
    Action(ids::ID_MENU_SERVER_START)->setEnabled(!server.IsBusy() && !started);
    Action(ids::ID_MENU_SERVER_STOP)->setEnabled(!server.IsBusy() && started);
    m_strToolTip = QString::fromStdString(server.ToolTip());
    if (m_pTrayIcon)
        m_pTrayIcon->setToolTip(m_strToolTip);
    if (m_pControlWindow)
        m_pControlWindow->ShowStatus(m_strToolTip);
}

void CVeskTray::ShowTrayIcon()
{
    m_pTrayIcon = new QSystemTrayIcon(m_Icon, this);
    m_pTrayIcon->setToolTip(m_strToolTip);
    m_pTrayIcon->setContextMenu(m_pMenu.get());  // before show(): some hosts read it only once
    connect(m_pTrayIcon, &QSystemTrayIcon::activated, this, &CVeskTray::OnTrayNotification);
    connect(m_pTrayIcon, &QSystemTrayIcon::messageClicked, this, &CVeskTray::OnNoticeClicked);
    m_pTrayIcon->show();
}

void CVeskTray::ShowControlWindow()
{
    m_pControlWindow = new CVeskControlWindow(m_Icon, m_pMenu.get());
    m_pControlWindow->ShowStatus(m_strToolTip);
    connect(m_pControlWindow, &CVeskControlWindow::doubleClicked, this, &CVeskTray::openRequested);
    m_pControlWindow->show();
}

void CVeskTray::WatchForTrayHost()
{
    m_pTrayWatch = new QTimer(this);
    connect(m_pTrayWatch, &QTimer::timeout, this, [this, rounds = 0]() mutable {
        if (QSystemTrayIcon::isSystemTrayAvailable()) {
            ShowTrayIcon();
            delete m_pControlWindow;
        }
        if (m_pTrayIcon || ++rounds >= kTrayWatchRounds)
            m_pTrayWatch->stop();
    });
    m_pTrayWatch->start(kTrayWatchIntervalMs);
}

void CVeskTray::OnTrayNotification(QSystemTrayIcon::ActivationReason reason)
{
    if (ActivationOpens(reason))
        emit openRequested();
}

// An XEmbed tray (xcb) reports double clicks. StatusNotifierItem hosts report
// only activations: on Wayland one activation opens the settings, on xcb (where
// either kind of host may serve) two activations within the double-click time.
bool CVeskTray::ActivationOpens(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick)
        return true;
    if (reason != QSystemTrayIcon::Trigger)
        return false;
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return true;
    const bool second = m_LastTrigger.isValid() &&
                        m_LastTrigger.elapsed() <= QGuiApplication::styleHints()->mouseDoubleClickInterval();
    if (second)
        m_LastTrigger.invalidate();
    else
        m_LastTrigger.start();
    return second;
}

void CVeskTray::ShowNotice(const QString& text, QSystemTrayIcon::MessageIcon icon)
{
    const auto expected = std::find_if(m_ExpectedFolders.begin(), m_ExpectedFolders.end(),
                                       [&text](const auto& entry) { return entry.first == text; });
    m_strNoticeFolder.clear();
    if (expected != m_ExpectedFolders.end()) {
        m_strNoticeFolder = expected->second;
        m_ExpectedFolders.erase(expected);
    }
    if (m_pTrayIcon && m_pTrayIcon->isVisible())
        m_pTrayIcon->showMessage(QString::fromUtf8(kProgramName), text, icon, kNoticeShownMs);
    else if (m_pControlWindow)
        m_pControlWindow->ShowStatus(text);
}

void CVeskTray::ExpectNoticeFolder(const QString& text, const QString& folder)
{
    if (m_ExpectedFolders.size() == kExpectedFoldersKept)
        m_ExpectedFolders.pop_front();
    m_ExpectedFolders.emplace_back(text, folder);
}

// The desktop's own opener: the file manager the user has chosen.
void CVeskTray::OnNoticeClicked()
{
    if (!m_strNoticeFolder.isEmpty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(m_strNoticeFolder));
}

void CVeskTray::Remove()
{
    if (m_pTrayWatch)
        m_pTrayWatch->stop();
    if (m_pTrayIcon) {
        m_pTrayIcon->hide();
        delete m_pTrayIcon;
    }
    delete m_pControlWindow;
}
