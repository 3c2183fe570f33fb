// The application: one copy per computer, the tray icon, the settings key,
// the main settings dialog that runs the server, and the orderly exit.
#pragma once

#include <QIcon>
#include <QObject>
#include <string>

#include "app/vesk_tray.h"

class CLumbraDlg;

class CLumbraApp : public QObject {
    Q_OBJECT
public:
    CLumbraApp();
    ~CLumbraApp() override;

    // The start-up sequence up to the initialised (hidden) main dialog.
    // False when start-up ended early: another copy runs or a step failed,
    // its message shown.
    bool InitInstance();
    // Runs until the exit command; returns the exit code.
    int Run();
    // Deletes the dialog, stops the server (ending every connection) and
    // removes the icon, in that order.
    int ExitInstance();

    bool IsAlreadyRunning();

    void OnSettings();
    void OnAppExit();
    // Ends the program without asking (the desktop session is ending).
    void ExitProgram();

    CVeskTray m_TrayIcon;
    CLumbraDlg* m_pMainDlg = nullptr;

protected:
    // Platform steps of the start-up, each replaceable by a test.
    virtual bool InitSockets() { return true; }  // nothing to set up on Linux
    virtual QIcon LoadMainIcon();
    virtual std::string ProcessListRoot() const { return "/proc"; }

private:
    void ShowSettingsInFront();

    bool m_bExitRequested = false;
};
