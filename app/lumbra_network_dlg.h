// The network settings dialog behind the main dialog's "Network 변경"
// button: bind address, port, idle time-out and bulk-scan mode. It edits
// copies; the main dialog hands them in and takes them back after OK.
#pragma once

#include <QDialog>
#include <string>

class QCheckBox;
class QComboBox;
class QLineEdit;

class CLumbraNetworkDlg : public QDialog {
    Q_OBJECT
public:
    explicit CLumbraNetworkDlg(QWidget* parent = nullptr);

    // Shows the members in the controls and fills the address list.
    void OnInitDialog();
    int exec() override;

    // OK: takes the selected address and the checked values; a bad number
    // gets a prompt and the dialog stays open.
    void accept() override;

    std::string GetIPAddress() const { return m_strIPAddress; }

    std::string m_strIPAddress;
    int m_nPort = 0;
    int m_nTimeout = 0;
    int m_bPlainScan = 0;

private:
    void CreateControls();
    void FillIPAddressList();
    bool TakeNumber(QLineEdit* edit, int low, int high, int& value);

    QComboBox* m_cbIPAddress = nullptr;
    QLineEdit* m_pPortEdit = nullptr;
    QLineEdit* m_pTimeoutEdit = nullptr;
    QCheckBox* m_pPlainScanCheck = nullptr;
    bool m_bInitialized = false;
};
