// The program's icon in the notification area and its menu: a double click
// shows the settings, a right click offers settings, start server, stop
// server and exit; its tooltip tells the server's address, port and state,
// and a click on a scan notice opens the scans' folder. Where the desktop
// has no notification area, a small control window with the same commands
// stands in, its status line showing the state and the notices.
#pragma once

#include <QElapsedTimer>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <deque>
#include <memory>
#include <utility>

#include "app/control_window.h"

class QAction;
class QMenu;
class QTimer;

class CVeskTray : public QObject {
    Q_OBJECT
public:
    CVeskTray();
    ~CVeskTray() override;

    // Builds the menu and puts up the icon (or the stand-in window). False
    // if the icon cannot be shown; LastError() then holds an errno value.
    bool Create(const QIcon& icon);
    // Takes the icon and the stand-in window down.
    void Remove();

    QMenu* Menu() const { return m_pMenu.get(); }
    // The menu item of command `id` (32777 to 32780), or null.
    QAction* Action(int id) const;
    QSystemTrayIcon* TrayIcon() const { return m_pTrayIcon; }
    CVeskControlWindow* ControlWindow() const { return m_pControlWindow; }
    int LastError() const { return m_nLastError; }

    // A notification from the icon that goes away by itself; without a
    // tray, the stand-in window's status line shows it.
    void ShowNotice(const QString& text, QSystemTrayIcon::MessageIcon icon);
    // The notice with `text`, when it comes, is about scans in `folder`: a
    // click on it opens the folder.
    void ExpectNoticeFolder(const QString& text, const QString& folder);
    // The server's address, port and state, as the icon's tooltip shows it.
    QString ToolTip() const { return m_strToolTip; }

    // What the tray host reported; public so tests can play a host.
    void OnTrayNotification(QSystemTrayIcon::ActivationReason reason);
    // A click on the last notice: its folder, if it has one, opens in the
    // desktop's file manager.
    void OnNoticeClicked();

signals:
    // A double click on the icon or on the stand-in window.
    void openRequested();

private:
    void BuildMenu();
    void ShowServerState();
    void ShowTrayIcon();
    void ShowControlWindow();
    void WatchForTrayHost();
    bool ActivationOpens(QSystemTrayIcon::ActivationReason reason);

    QIcon m_Icon;
    std::unique_ptr<QMenu> m_pMenu;
    QPointer<QSystemTrayIcon> m_pTrayIcon;
    QPointer<CVeskControlWindow> m_pControlWindow;
    QTimer* m_pTrayWatch = nullptr;
    QElapsedTimer m_LastTrigger;
    int m_nLastError = 0;
    QString m_strToolTip;
    QString m_strNoticeFolder;  // of the notice shown last; empty: none
    std::deque<std::pair<QString, QString>> m_ExpectedFolders;  // notice text, folder
};
