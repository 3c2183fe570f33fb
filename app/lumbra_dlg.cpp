#include "app/lumbra_dlg.h"

#include <QCheckBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>

#include "app/server_control.h"
#include "app/server_notices.h"
#include "platform/message_box.h"
#include "settings/server_handover.h"

using platform::AfxMessageBox;
using platform::MessageIcon;

CLumbraDlg::CLumbraDlg(QWidget* parent) : QDialog(parent)
{
    CreateControls();
    ShowValues();
    connect(&ServerControl::Instance(), &ServerControl::adapterAddressFound, this, &CLumbraDlg::OnAdapterAddress);
}

bool CLumbraDlg::OnInitDialog()
{
    // The login edits are greyed as soon as anonymous mode is known, so
    // also when only the last read, "IsPlainScan", fails.
    const auto greyLoginWhenAnonymous = [this] {
        if (m_Held.m_bAnonymous != 0)
            SetLoginEditsEnabled(false);
    };
    if (!RunLoadSequence(m_Held, m_Crypt, greyLoginWhenAnonymous)) {
        show();  // stays up so the user sees the defaults and can save
        return false;
    }
    ShowIPAddress();
    ShowValues();
    const std::string tlsFailure = SetSettingsToServer();
    if (!tlsFailure.empty())
        platform::ShowNotice(tlsFailure, MessageIcon::Warning);
    if (m_Held.m_bLaunchOnStartup != 0)
        ServerControl::Instance().Start();  // a failure is noticed in the tray
    PostHide();
    return true;
}

std::string CLumbraDlg::SetSettingsToServer()
{
    std::string tlsError;
    ServerControl::Instance().SetSettings(ServerSettingsFrom(m_Held, &tlsError));
    return tlsError.empty() ? std::string() : TlsFailureNotice(m_Held.m_Tls, tlsError);
}

// The adapter waited for has its address now; a later save stores it.
void CLumbraDlg::OnAdapterAddress(const QString& address)
{
    if (!m_Held.m_strIPAddress.empty())
        return;
    m_Held.m_strIPAddress = address.toStdString();
    ShowIPAddress();
}

void CLumbraDlg::OnServerStart()
{
    ServerControl::Instance().Start();
}

void CLumbraDlg::OnServerStop()
{
    ServerControl::Instance().Stop();
}

void CLumbraDlg::OnBnClickedOk()
{
    const std::string userIdBefore = m_Held.m_strUserID;
    TakeValues();
    if (m_Held.m_strUserID.empty()) {
        AfxMessageBox("사용자 ID를 입력하세요.", MessageIcon::Information);
        m_Held.m_strUserID = userIdBefore;
        ShowValues();
        return;
    }
    if (!RunSaveSequence(m_Held, m_Crypt, std::nullopt, true))
        return;  // the window stays; the server keeps what it has
    ServerControl& server = ServerControl::Instance();
    std::string tlsFailure;
    if (server.IsRunning() || server.IsWaitingForAdapter()) {
        server.Stop();
        tlsFailure = SetSettingsToServer();
        server.Start();
    } else {
        tlsFailure = SetSettingsToServer();
    }
    if (!tlsFailure.empty())
        AfxMessageBox(tlsFailure, MessageIcon::Warning);
    m_strSavedIPAddress.clear();
    m_nSavedPort = m_nSavedTimeout = m_bSavedPlainScan = 0;
    PostHide();
}

void CLumbraDlg::OnBnClickedCancel()
{
    if (!m_strSavedIPAddress.empty()) {
        m_Held.m_strIPAddress = m_strSavedIPAddress;
        m_Held.m_nPort = m_nSavedPort;
        m_Held.m_nTimeout = m_nSavedTimeout;
        m_Held.m_bPlainScan = m_bSavedPlainScan;
        m_Held.m_Tls = m_SavedTls;
    }
    ShowIPAddress();
    ShowValues();
    PostHide();
}

// Hiding waits until the current handler has returned, as the minimise
// command posted to the dialog's own window did.
void CLumbraDlg::PostHide()
{
    QMetaObject::invokeMethod(this, &QWidget::hide, Qt::QueuedConnection);
}

void CLumbraDlg::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized)) {
        setWindowState(windowState() & ~Qt::WindowMinimized);
        PostHide();  // minimising means going back to the tray
    }
}

void CLumbraDlg::TakeValues()
{
    m_Held.m_bLaunchOnStartup = m_pAutoStartCheck->isChecked() ? 1 : 0;
    m_Held.m_strUserID = m_pUserIdEdit->text().toStdString();
    m_Held.m_strPassword = m_pPasswordEdit->text().toStdString();
    m_Held.m_strHomePath = m_pHomePathEdit->text().toStdString();
    m_Held.m_bAnonymous = m_pAnonymousCheck->isChecked() ? 1 : 0;
}

void CLumbraDlg::ShowValues()
{
    m_pAutoStartCheck->setChecked(m_Held.m_bLaunchOnStartup != 0);
    m_pUserIdEdit->setText(QString::fromStdString(m_Held.m_strUserID));
    m_pPasswordEdit->setText(QString::fromStdString(m_Held.m_strPassword));
    m_pHomePathEdit->setText(QString::fromStdString(m_Held.m_strHomePath));
    m_pAnonymousCheck->setChecked(m_Held.m_bAnonymous != 0);
}

void CLumbraDlg::ShowIPAddress()
{
    if (m_Held.m_strIPAddress.empty() && !m_Held.m_strAdapterName.empty())
        m_pIPAddressLabel->setText(QString::fromStdString(m_Held.m_strAdapterName) + QStringLiteral(" (주소 없음)"));
    else
        m_pIPAddressLabel->setText(QString::fromStdString(m_Held.m_strIPAddress));
}

void CLumbraDlg::SetLoginEditsEnabled(bool enabled)
{
    m_pUserIdEdit->setEnabled(enabled);
    m_pPasswordEdit->setEnabled(enabled);
}
