#include "app/vesk_tray.h"

#include <QAction>
#include <QGuiApplication>
#include <QMenu>
#include <QStyleHints>
#include <QTimer>
#include <cerrno>

#include "app/command_ids.h"
#include "app/control_window.h"
#include "app/server_control.h"

namespace {

constexpr const char* kTip = "Orvello";
// A tray host that comes up after the program (at logon) is still picked up.
constexpr int kTrayWatchIntervalMs = 2000;
constexpr int kTrayWatchRounds = 60;
constexpr int kNoticeShownMs = 10000;

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
    connect(&ServerControl::Instance(), &ServerControl::stateChanged, this, &CVeskTray::UpdateServerItems);
    connect(m_pMenu.get(), &QMenu::aboutToShow, this, &CVeskTray::UpdateServerItems);
    UpdateServerItems();
}

QAction* CVeskTray::Action(int id) const
{
    return m_pMenu ? m_pMenu->findChild<QAction*>(QString::number(id)) : nullptr;
}

void CVeskTray::UpdateServerItems()
{
    const ServerControl& server = ServerControl::Instance();
    Action(ids::ID_MENU_SERVER_START)->setEnabled(!server.IsBusy() && !server.IsRunning());
    Action(ids::ID_MENU_SERVER_STOP)->setEnabled(!server.IsBusy() && server.IsRunning());
}

void CVeskTray::ShowTrayIcon()
{
    m_pTrayIcon = new QSystemTrayIcon(m_Icon, this);
    m_pTrayIcon->setToolTip(QString::fromUtf8(kTip));
    m_pTrayIcon->setContextMenu(m_pMenu.get());  // before show(): some hosts read it only once
    connect(m_pTrayIcon, &QSystemTrayIcon::activated, this, &CVeskTray::OnTrayNotification);
    m_pTrayIcon->show();
}

void CVeskTray::ShowControlWindow()
{
    m_pControlWindow = new CVeskControlWindow(m_Icon, m_pMenu.get());
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
    if (m_pTrayIcon && m_pTrayIcon->isVisible())
        m_pTrayIcon->showMessage(QString::fromUtf8(kTip), text, icon, kNoticeShownMs);
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
