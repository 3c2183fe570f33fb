// The stand-in for the tray icon on desktops without a notification area: a
// small window with the tray menu's four commands as buttons, enabled as the
// menu items are. A double click on it shows the settings like a double
// click on the icon.
#pragma once

#include <QWidget>

class QLabel;
class QMenu;

class CVeskControlWindow : public QWidget {
    Q_OBJECT
public:
    CVeskControlWindow(const QIcon& icon, QMenu* trayMenu);

    // The line below the buttons: the server's state, or the last notice
    // (there is no tray to show it) until the state changes again.
    void ShowStatus(const QString& text);
    QString Status() const;

signals:
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    // Closing would leave no way back to the program; it minimises instead.
    void closeEvent(QCloseEvent* event) override;

private:
    QLabel* m_pStatus = nullptr;
};
