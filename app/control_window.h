// The stand-in for the tray icon on desktops without a notification area: a
// small window with the tray menu's four commands as buttons, enabled as the
// menu items are. A double click on it shows the settings like a double
// click on the icon.
#pragma once

#include <QWidget>

class QMenu;

class CVeskControlWindow : public QWidget {
    Q_OBJECT
public:
    CVeskControlWindow(const QIcon& icon, QMenu* trayMenu);

signals:
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    // Closing would leave no way back to the program; it minimises instead.
    void closeEvent(QCloseEvent* event) override;
};
