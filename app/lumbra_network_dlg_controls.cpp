// The controls of the network dialog, placed as its template gives them
// (153 x 119 dialog units, 8-point font), and the FTPS group that the dialog
// grows downward by, leaving the template's controls where they are.
#include "app/lumbra_network_dlg.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>

#include "app/command_ids.h"
#include "app/dialog_units.h"

namespace {

constexpr int kTlsGroupHeight = 86;  // dialog units below the template's 119

QLabel* RightAlignedLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

}  // namespace

void CLumbraNetworkDlg::CreateControls()
{
    const DialogUnits du = DialogUnits::ForDialog(this, 8);
    setWindowTitle(QStringLiteral("Network 설정"));
    setFixedSize(du.ToPixels(153, 119 + kTlsGroupHeight));

    du.Place(RightAlignedLabel(QStringLiteral("IP 주소 :"), this), 0, 20, 14, 41, 9);
    m_cbIPAddress = new QComboBox(this);
    du.Place(m_cbIPAddress, ids::IDC_COMBO_IPADDRESS, 67, 11, 74, 12);
    m_cbIPAddress->resize(m_cbIPAddress->width(), m_cbIPAddress->sizeHint().height());

    du.Place(RightAlignedLabel(QStringLiteral("포트번호 :"), this), 0, 20, 36, 41, 9);
    m_pPortEdit = new QLineEdit(this);
    m_pPortEdit->setAlignment(Qt::AlignCenter);
    // Digits only, as typed; the range is checked at OK.
    m_pPortEdit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), m_pPortEdit));
    du.Place(m_pPortEdit, ids::IDC_EDIT_PORT, 67, 33, 65, 15);

    du.Place(RightAlignedLabel(QStringLiteral("타임아웃(분) :"), this), 0, 5, 58, 56, 9);
    m_pTimeoutEdit = new QLineEdit(this);
    m_pTimeoutEdit->setAlignment(Qt::AlignCenter);
    du.Place(m_pTimeoutEdit, ids::IDC_EDIT_TIMEOUT, 67, 55, 66, 15);

    m_pPlainScanCheck = new QCheckBox(QStringLiteral("대량 원고 스캔(평판)"), this);
    m_pPlainScanCheck->setLayoutDirection(Qt::RightToLeft);  // text left of the box
    du.Place(m_pPlainScanCheck, ids::IDC_CHECK_PLAINSCAN, 27, 78, 89, 10);

    auto* ok = new QPushButton(QStringLiteral("확인"), this);
    ok->setDefault(true);
    du.Place(ok, ids::IDOK, 21, 99, 50, 14);
    connect(ok, &QPushButton::clicked, this, &CLumbraNetworkDlg::accept);
    auto* cancel = new QPushButton(QStringLiteral("취소"), this);
    du.Place(cancel, ids::IDCANCEL, 81, 99, 50, 14);
    connect(cancel, &QPushButton::clicked, this, &CLumbraNetworkDlg::reject);

    CreateTlsControls(du);
}

void CLumbraNetworkDlg::CreateTlsControls(const DialogUnits& du)
{
    du.Place(new QGroupBox(QStringLiteral("보안 연결 (FTPS)"), this), ids::IDC_GROUP_TLS, 7, 119, 139, 79);

    m_pTlsModeGroup = new QButtonGroup(this);
    const struct {
        const char* text;
        int x, width;
    } modes[] = {{"사용 안 함", 15, 48}, {"허용", 66, 34}, {"필수", 103, 34}};
    for (int mode = kTlsOff; mode <= kTlsRequired; ++mode) {
        auto* radio = new QRadioButton(QString::fromUtf8(modes[mode].text), this);
        du.Place(radio, ids::IDC_RADIO_TLS_OFF + mode, modes[mode].x, 132, modes[mode].width, 10);
        m_pTlsModeGroup->addButton(radio, mode);
    }
    m_pTlsModeGroup->button(kTlsOff)->setChecked(true);
    // Switching FTPS on makes the certificate at once, to show its fingerprint.
    connect(m_pTlsModeGroup, &QButtonGroup::idClicked, this, &CLumbraNetworkDlg::ShowCertificate);

    du.Place(new QLabel(QStringLiteral("인증서 지문 (SHA-256) :"), this), 0, 15, 147, 123, 9);
    m_pFingerprintEdit = new QLineEdit(this);
    m_pFingerprintEdit->setReadOnly(true);  // still selectable, to compare or copy
    du.Place(m_pFingerprintEdit, ids::IDC_EDIT_TLS_FINGERPRINT, 15, 157, 123, 13);

    m_pExportButton = new QPushButton(QStringLiteral("인증서 저장..."), this);
    du.Place(m_pExportButton, ids::IDC_BUTTON_TLS_EXPORT, 15, 177, 60, 14);
    connect(m_pExportButton, &QPushButton::clicked, this, &CLumbraNetworkDlg::OnBnClickedExportCertificate);

    m_pTlsLegacyCheck = new QCheckBox(QStringLiteral("구형 장치 허용"), this);
    du.Place(m_pTlsLegacyCheck, ids::IDC_CHECK_TLS_LEGACY, 82, 179, 58, 10);
}
