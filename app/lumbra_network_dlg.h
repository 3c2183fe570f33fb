// The network settings dialog behind the main dialog's "Network 변경"
// button: bind address, port, idle time-out and bulk-scan mode, and below
// them FTPS: its mode, the certificate's fingerprint and export, and the
// switch for old devices. It edits copies; the main dialog hands them in
// and takes them back after OK.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <string>

#include "settings/tls_settings.h"

class DialogUnits;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

class CLumbraNetworkDlg : public QDialog {
    Q_OBJECT
public:
    // Returns the file to save to, or an empty text when the user cancelled.
    using SaveFilePicker = std::function<QString(QWidget* parent, const QString& title, const QString& start)>;

    explicit CLumbraNetworkDlg(QWidget* parent = nullptr);

    // Shows the members in the controls and fills the address list.
    void OnInitDialog();
    int exec() override;

    // OK: takes the selected address and the checked values; a bad number
    // gets a prompt and the dialog stays open.
    void accept() override;

    std::string GetIPAddress() const { return m_strIPAddress; }
    void SetSaveFilePicker(SaveFilePicker picker) { m_SaveFilePicker = std::move(picker); }

    std::string m_strIPAddress;
    int m_nPort = 0;
    int m_nTimeout = 0;
    int m_bPlainScan = 0;
    TlsSettings m_Tls;  // mode and legacy are edited here; the files pass through

private:
    void CreateControls();
    void CreateTlsControls(const DialogUnits& du);
    void FillIPAddressList();
    bool TakeNumber(QLineEdit* edit, int low, int high, int& value);
    TlsSettings CheckedTls() const;
    void ShowCertificate();
    void OnBnClickedExportCertificate();

    QComboBox* m_cbIPAddress = nullptr;
    QLineEdit* m_pPortEdit = nullptr;
    QLineEdit* m_pTimeoutEdit = nullptr;
    QCheckBox* m_pPlainScanCheck = nullptr;
    QButtonGroup* m_pTlsModeGroup = nullptr;  // button ids are the modes
    QLineEdit* m_pFingerprintEdit = nullptr;
    QPushButton* m_pExportButton = nullptr;
    QCheckBox* m_pTlsLegacyCheck = nullptr;
    std::shared_ptr<const platform::TlsServerContext> m_pCertificate;  // the one shown
    SaveFilePicker m_SaveFilePicker;
    bool m_bInitialized = false;
};
