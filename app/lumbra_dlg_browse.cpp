// The main dialog's two sub-dialogs: the folder browser for the home folder
// and the network settings.
#include "app/lumbra_dlg.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>

#include "app/lumbra_network_dlg.h"
#include "platform/message_box.h"

namespace {

QString PickFolder(QWidget* parent, const QString& title, const QString& start)
{
    return QFileDialog::getExistingDirectory(parent, title, start, QFileDialog::ShowDirsOnly);
}

}  // namespace

void CLumbraDlg::OnBnClickedBrowse()
{
    const std::string folder = BrowseForFolder();
    if (folder.empty())
        return;
    m_Held.m_strHomePath = folder;
    ShowValues();  // what was typed since the last take reverts
}

std::string CLumbraDlg::BrowseForFolder()
{
    const QString title = QStringLiteral("FTP 저장경로를 선택하세요 :");
    QString start = QString::fromStdString(m_Held.m_strHomePath);
    if (!QFileInfo(start).isDir())
        start.clear();
    const QString chosen = (m_FolderPicker ? m_FolderPicker : PickFolder)(this, title, start);
    if (chosen.isEmpty())
        return {};  // cancelled: nothing to say
    const QFileInfo info(chosen);
    if (!info.isAbsolute() || !info.isDir()) {
        platform::AfxMessageBox("경로 취득에 실패하였습니다.", platform::MessageIcon::Error);
        return {};
    }
    return info.absoluteFilePath().toStdString();
}

void CLumbraDlg::OnBnClickedNetwork()
{
    CLumbraNetworkDlg dlg(this);
    dlg.m_strIPAddress = m_Held.m_strIPAddress;
    dlg.m_nPort = m_Held.m_nPort;
    dlg.m_nTimeout = m_Held.m_nTimeout;
    dlg.m_bPlainScan = m_Held.m_bPlainScan;
    dlg.m_Tls = m_Held.m_Tls;
    if (m_strSavedIPAddress.empty()) {
        // Cancel in this dialog undoes every network change since the last save.
        m_strSavedIPAddress = m_Held.m_strIPAddress;
        m_nSavedPort = m_Held.m_nPort;
        m_nSavedTimeout = m_Held.m_nTimeout;
        m_bSavedPlainScan = m_Held.m_bPlainScan;
        m_SavedTls = m_Held.m_Tls;
    }
    if (dlg.exec() != QDialog::Accepted)
        return;
    m_Held.m_strIPAddress = dlg.GetIPAddress();
    m_Held.m_nPort = dlg.m_nPort;
    m_Held.m_nTimeout = dlg.m_nTimeout;
    m_Held.m_bPlainScan = dlg.m_bPlainScan != 0 ? 1 : 0;
    m_Held.m_Tls = dlg.m_Tls;
    ShowIPAddress();
    ShowValues();
}
