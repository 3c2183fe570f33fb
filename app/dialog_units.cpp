#include "app/dialog_units.h"

#include <QFontMetrics>
#include <QWidget>

DialogUnits::DialogUnits(const QFont& font)
{
    // The average width of the Latin letters, rounded, as the dialog
    // manager measures a dialog font.
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_nAverageCharWidth = (letters / 26 + 1) / 2;
    m_nCharHeight = metrics.height();
}

QRect DialogUnits::ToPixels(int x, int y, int width, int height) const
{
    const QSize size = ToPixels(width, height);
    return {x * m_nAverageCharWidth / 4, y * m_nCharHeight / 8, size.width(), size.height()};
}

QSize DialogUnits::ToPixels(int width, int height) const
{
    return {width * m_nAverageCharWidth / 4, height * m_nCharHeight / 8};
}

void DialogUnits::Place(QWidget* control, int id, int x, int y, int width, int height) const
{
    if (id > 0)
        control->setObjectName(QString::number(id));
    control->setGeometry(ToPixels(x, y, width, height));
}

DialogUnits DialogUnits::ForDialog(QWidget* dialog, int pointSize)
{
    QFont dialogFont = dialog->font();
    dialogFont.setPointSize(pointSize);
    dialog->setFont(dialogFont);
    return DialogUnits(dialogFont);
}
