// The controls of the network dialog, placed as its template gives them
// (153 x 119 dialog units, 8-point font).
#include "app/lumbra_network_dlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "app/command_ids.h"
#include "app/dialog_units.h"

namespace {

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
    setFixedSize(du.ToPixels(153, 119));

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
}
