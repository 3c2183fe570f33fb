// The anonymous switch of the main dialog. Switching it off brings back the
// login last saved, not what was typed before it was switched on.
#include "app/lumbra_dlg.h"

#include <QCheckBox>
#include <QLineEdit>

#include "platform/message_box.h"
#include "settings/settings_keys.h"

using platform::AfxMessageBox;
using platform::MessageIcon;

void CLumbraDlg::OnBnClickedAnonymous()
{
    const int anonymousBefore = m_Held.m_bAnonymous;
    TakeValues();
    if (m_Held.m_bAnonymous == anonymousBefore)
        return;
    if (m_Held.m_bAnonymous != 0) {
        // The held values keep what was just taken; the next save takes the
        // edits again.
        m_pUserIdEdit->setText(QStringLiteral("anonymous"));
        m_pPasswordEdit->clear();
        SetLoginEditsEnabled(false);
        return;
    }
    ShowStoredLogin();
    SetLoginEditsEnabled(true);
}

void CLumbraDlg::ShowStoredLogin()
{
    std::string userId;
    if (!GetRegString(settings_keys::kUserId, userId)) {
        AfxMessageBox("저장된 사용자ID 정보취득에 실패하였습니다.", MessageIcon::Warning);
        userId.clear();
    }
    m_pUserIdEdit->setText(QString::fromStdString(userId));

    if (!GetRegBinary(settings_keys::kPassword, m_Held.m_strPassword)) {
        AfxMessageBox("저장된 비밀번호 정보취득에 실패하였습니다.", MessageIcon::Warning);
        m_pPasswordEdit->clear();
        return;
    }
    if (m_Held.m_strPassword.empty())
        return;  // nothing stored to decipher; the edit keeps its text
    std::string plain;
    if (!m_Crypt.Decrypt(m_Held.m_strPassword, plain)) {
        AfxMessageBox("저장된 비밀번호 정보취득(복호화)에 실패하였습니다.", MessageIcon::Warning);
        m_pPasswordEdit->clear();
        return;
    }
    m_Held.m_strPassword = plain;
    m_pPasswordEdit->setText(QString::fromStdString(plain));
}
