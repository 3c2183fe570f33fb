// The main settings dialog: home folder, login, auto-start and, through the
// network dialog, address, port, time-out, bulk-scan mode and FTPS. It lives for
// the whole run, mostly hidden; saving and cancelling hide it to the tray.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "settings/crypt.h"
#include "settings/settings_store.h"

class QCheckBox;
class QLabel;
class QLineEdit;

class CLumbraDlg : public QDialog {
    Q_OBJECT
public:
    // Returns the chosen folder, or an empty text when the user cancelled.
    using FolderPicker = std::function<QString(QWidget* parent, const QString& title, const QString& start)>;

    explicit CLumbraDlg(QWidget* parent = nullptr);

    // Loads the settings, hands them to the server and starts it when
    // auto-start is on, then stays hidden. A failed load is reported, and
    // the dialog is shown instead with the server left alone.
    bool OnInitDialog();

    void OnServerStart();
    void OnServerStop();
    void OnBnClickedOk();
    void OnBnClickedCancel();
    void OnBnClickedBrowse();
    void OnBnClickedAnonymous();
    void OnBnClickedNetwork();
    // Returns why the held FTPS settings cannot be served (empty when they
    // can); the server gets the other settings all the same.
    std::string SetSettingsToServer();
    void OnAdapterAddress(const QString& address);

    void accept() override { OnBnClickedOk(); }
    void reject() override { OnBnClickedCancel(); }

    const LumbraSettings& HeldValues() const { return m_Held; }
    bool HasNetworkBackup() const { return !m_strSavedIPAddress.empty(); }
    void SetFolderPicker(FolderPicker picker) { m_FolderPicker = std::move(picker); }

protected:
    void changeEvent(QEvent* event) override;

private:
    void CreateControls();
    void TakeValues();
    void ShowValues();
    void SetLoginEditsEnabled(bool enabled);
    void ShowIPAddress();
    void PostHide();
    std::string BrowseForFolder();
    void ShowStoredLogin();

    LumbraSettings m_Held;
    std::string m_strSavedIPAddress;  // network backup; empty = none
    int m_nSavedPort = 0;
    int m_nSavedTimeout = 0;
    int m_bSavedPlainScan = 0;
    TlsSettings m_SavedTls;
    Vesk::CVeskCrypt m_Crypt;

    QLabel* m_pIPAddressLabel = nullptr;
    QCheckBox* m_pAutoStartCheck = nullptr;
    QLineEdit* m_pUserIdEdit = nullptr;
    QLineEdit* m_pPasswordEdit = nullptr;
    QLineEdit* m_pHomePathEdit = nullptr;
    QCheckBox* m_pAnonymousCheck = nullptr;
    FolderPicker m_FolderPicker;
};
