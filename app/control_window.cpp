#include "app/control_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QToolButton>
#include <QVBoxLayout>

CVeskControlWindow::CVeskControlWindow(const QIcon& icon, QMenu* trayMenu)
{
    setObjectName(QStringLiteral("VeskControlWindow"));
    setWindowTitle(QStringLiteral("Orvello"));
    setWindowIcon(icon);

    auto* picture = new QLabel(this);
    picture->setPixmap(icon.pixmap(32, 32));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(picture);
    // Each button mirrors its menu item: text, enabling and command.
    for (QAction* action : trayMenu->actions()) {
        if (action->isSeparator())
            continue;
        auto* button = new QToolButton(this);
        button->setDefaultAction(action);
        button->setObjectName(action->objectName());
        button->setToolButtonStyle(Qt::ToolButtonTextOnly);
        buttons->addWidget(button);
    }
    m_pStatus = new QLabel(this);
    m_pStatus->setWordWrap(true);
    m_pStatus->setFixedWidth(buttons->sizeHint().width());
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(m_pStatus);
    layout->setSizeConstraint(QLayout::SetFixedSize);  // follows the status text
}

void CVeskControlWindow::ShowStatus(const QString& text)
{
    m_pStatus->setText(text);
    setToolTip(text);
}

QString CVeskControlWindow::Status() const
{
    return m_pStatus->text();
}

void CVeskControlWindow::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        emit doubleClicked();
    QWidget::mouseDoubleClickEvent(event);
}

void CVeskControlWindow::closeEvent(QCloseEvent* event)
{
    event->ignore();
    showMinimized();
}
