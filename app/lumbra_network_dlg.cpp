#include "app/lumbra_network_dlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

#include "app/address_list.h"
#include "app/command_ids.h"
#include "app/dialog_numbers.h"
#include "platform/adapters.h"
#include "platform/message_box.h"

CLumbraNetworkDlg::CLumbraNetworkDlg(QWidget* parent) : QDialog(parent)
{
    CreateControls();
}

void CLumbraNetworkDlg::OnInitDialog()
{
    m_pPortEdit->setText(QString::number(m_nPort));
    m_pTimeoutEdit->setText(QString::number(m_nTimeout));
    m_pPlainScanCheck->setChecked(m_bPlainScan != 0);
    FillIPAddressList();
    m_bInitialized = true;
}

int CLumbraNetworkDlg::exec()
{
    if (!m_bInitialized)
        OnInitDialog();
    return QDialog::exec();
}

void CLumbraNetworkDlg::FillIPAddressList()
{
    std::vector<platform::AdapterInfo> adapters;
    platform::GetAdaptersInfo(adapters);  // no list: the box stays empty
    const std::vector<std::string> entries = SortedAddressEntries(adapters);
    m_cbIPAddress->clear();
    for (const std::string& entry : entries)
        m_cbIPAddress->addItem(QString::fromStdString(entry));
    m_cbIPAddress->setCurrentIndex(SelectedAddressIndex(entries, m_strIPAddress));
}

void CLumbraNetworkDlg::accept()
{
    // Without a selection the address stays what it was.
    if (m_cbIPAddress->currentIndex() >= 0)
        m_strIPAddress = m_cbIPAddress->currentText().toStdString();
    int port = m_nPort, timeout = m_nTimeout;
    if (!TakeNumber(m_pPortEdit, 0, 65535, port) || !TakeNumber(m_pTimeoutEdit, 5, 300, timeout))
        return;
    m_nPort = port;
    m_nTimeout = timeout;
    m_bPlainScan = m_pPlainScanCheck->isChecked() ? 1 : 0;
    QDialog::accept();
}

bool CLumbraNetworkDlg::TakeNumber(QLineEdit* edit, int low, int high, int& value)
{
    std::string prompt;
    if (TakeDialogInt(edit->text().toStdString(), low, high, value, prompt))
        return true;
    platform::AfxMessageBox(prompt, platform::MessageIcon::Warning);
    edit->setFocus();
    edit->selectAll();
    return false;
}
