#include "app/lumbra_network_dlg.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>

#include "app/address_list.h"
#include "app/command_ids.h"
#include "app/dialog_numbers.h"
#include "platform/adapters.h"
#include "platform/message_box.h"
#include "platform/tls.h"

namespace {

QString PickSaveFile(QWidget* parent, const QString& title, const QString& start)
{
    return QFileDialog::getSaveFileName(parent, title, start, QStringLiteral("PEM 인증서 (*.pem *.crt)"));
}

}  // namespace

CLumbraNetworkDlg::CLumbraNetworkDlg(QWidget* parent) : QDialog(parent)
{
    CreateControls();
}

void CLumbraNetworkDlg::OnInitDialog()
{
    m_pPortEdit->setText(QString::number(m_nPort));
    m_pTimeoutEdit->setText(QString::number(m_nTimeout));
    m_pPlainScanCheck->setChecked(m_bPlainScan != 0);
    QAbstractButton* mode = m_pTlsModeGroup->button(m_Tls.mode);
    (mode ? mode : m_pTlsModeGroup->button(kTlsOff))->setChecked(true);
    m_pTlsLegacyCheck->setChecked(m_Tls.legacy);
    FillIPAddressList();
    ShowCertificate();
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
    m_Tls = CheckedTls();
    QDialog::accept();
}

TlsSettings CLumbraNetworkDlg::CheckedTls() const
{
    TlsSettings tls = m_Tls;
    tls.mode = m_pTlsModeGroup->checkedId();
    tls.legacy = m_pTlsLegacyCheck->isChecked();
    return tls;
}

// The fingerprint of the certificate the checked mode serves; with FTPS
// just switched on the generated certificate is made here. A failure shows
// in the field (its cause in the tooltip); the save reports it fully.
void CLumbraNetworkDlg::ShowCertificate()
{
    std::string error;
    m_pCertificate = TlsCertificateFor(CheckedTls(), error);
    QString text;
    if (m_pCertificate)
        text = QString::fromStdString(m_pCertificate->Fingerprint());
    else if (error.empty())
        text = QStringLiteral("FTPS를 켜면 인증서를 만듭니다.");
    else
        text = QStringLiteral("인증서를 만들거나 읽지 못했습니다.");
    m_pFingerprintEdit->setText(text);
    m_pFingerprintEdit->setCursorPosition(0);
    m_pFingerprintEdit->setToolTip(error.empty() ? text : QString::fromStdString(error));
    m_pExportButton->setEnabled(m_pCertificate != nullptr);
}

// Only the certificate goes out, never the key kept in the same file.
void CLumbraNetworkDlg::OnBnClickedExportCertificate()
{
    if (!m_pCertificate)
        return;
    const QString start = QDir::home().filePath(QStringLiteral("orvello-ftps.pem"));
    const QString path = (m_SaveFilePicker ? m_SaveFilePicker : PickSaveFile)(this, QStringLiteral("인증서 저장"), start);
    if (path.isEmpty())
        return;  // cancelled
    QSaveFile file(path);
    const std::string& pem = m_pCertificate->CertificatePem();
    if (file.open(QIODevice::WriteOnly) && file.write(pem.data(), qint64(pem.size())) == qint64(pem.size()) &&
        file.commit())
        return;
    platform::AfxMessageBox("인증서를 저장하지 못했습니다: " + path.toStdString() + " (" +
                                file.errorString().toStdString() + ")",
                            platform::MessageIcon::Error);
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
