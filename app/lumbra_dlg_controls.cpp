// The controls of the main dialog, placed as its template gives them
// (227 x 115 dialog units, 9-point font).
#include "app/lumbra_dlg.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/app_icon.h"
#include "app/command_ids.h"
#include "app/dialog_units.h"

namespace {

// Auto-default (Qt's default in a dialog): Enter presses the focused push
// button, and "설정" when the focus is on no push button.
template <typename Handler>
QPushButton* Button(CLumbraDlg* dlg, const QString& text, Handler handler)
{
    auto* button = new QPushButton(text, dlg);
    QObject::connect(button, &QPushButton::clicked, dlg, handler);
    return button;
}

}  // namespace

void CLumbraDlg::CreateControls()
{
    const DialogUnits du = DialogUnits::ForDialog(this, 9);
    setWindowTitle(QStringLiteral("Orvello"));
    setWindowIcon(LoadAppIcon());
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(du.ToPixels(227, 115));

    // The group box first, so the controls inside it lie above it.
    du.Place(new QGroupBox(QStringLiteral("사용자정보"), this), 0, 3, 43, 221, 50);

    du.Place(new QLabel(QStringLiteral("IP주소 : "), this), 0, 9, 6, 28, 8);
    m_pIPAddressLabel = new QLabel(QStringLiteral("127.0.0.1"), this);
    du.Place(m_pIPAddressLabel, ids::IDC_STATIC_IPADDRESS, 37, 6, 70, 8);
    auto* version = new QLabel(QStringLiteral("버전 1.0.2.2"), this);
    version->setAlignment(Qt::AlignRight | Qt::AlignTop);
    du.Place(version, ids::IDC_STATIC_VERSION, 171, 6, 49, 8);

    du.Place(new QLabel(QStringLiteral("저장경로 : "), this), 0, 9, 25, 35, 8);
    m_pHomePathEdit = new QLineEdit(this);
    m_pHomePathEdit->setReadOnly(true);  // changed only through the browser
    du.Place(m_pHomePathEdit, ids::IDC_EDIT_HOMEPATH, 46, 22, 123, 14);
    du.Place(Button(this, QStringLiteral("경로검색"), &CLumbraDlg::OnBnClickedBrowse), ids::IDC_BUTTON_BROWSE,
             172, 22, 50, 14);

    du.Place(new QLabel(QStringLiteral("사용자 ID :"), this), 0, 15, 58, 35, 8);
    m_pUserIdEdit = new QLineEdit(this);
    du.Place(m_pUserIdEdit, ids::IDC_EDIT_USERID, 55, 55, 60, 14);
    du.Place(new QLabel(QStringLiteral("비밀번호 :"), this), 0, 118, 58, 33, 8);
    m_pPasswordEdit = new QLineEdit(this);
    m_pPasswordEdit->setEchoMode(QLineEdit::Password);
    du.Place(m_pPasswordEdit, ids::IDC_EDIT_PASSWORD, 157, 55, 60, 14);
    m_pAnonymousCheck = new QCheckBox(QStringLiteral("Anonymous"), this);
    du.Place(m_pAnonymousCheck, ids::IDC_CHECK_ANONYMOUS, 15, 76, 53, 10);
    connect(m_pAnonymousCheck, &QCheckBox::clicked, this, &CLumbraDlg::OnBnClickedAnonymous);

    m_pAutoStartCheck = new QCheckBox(QStringLiteral("자동시작"), this);
    du.Place(m_pAutoStartCheck, ids::IDC_CHECK_AUTOSTART, 7, 100, 43, 10);
    du.Place(Button(this, QStringLiteral("Network 변경"), &CLumbraDlg::OnBnClickedNetwork), ids::IDC_BUTTON_NETWORK,
             69, 96, 50, 14);
    QPushButton* ok = Button(this, QStringLiteral("설정"), &CLumbraDlg::OnBnClickedOk);
    ok->setDefault(true);
    du.Place(ok, ids::IDOK, 121, 96, 50, 14);
    du.Place(Button(this, QStringLiteral("취소"), &CLumbraDlg::OnBnClickedCancel), ids::IDCANCEL, 173, 96, 50, 14);
}
