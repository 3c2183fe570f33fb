// Placing controls in dialog units, as the dialog templates give them: one
// horizontal unit is a quarter of the font's average character width, one
// vertical unit an eighth of its height.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    QRect ToPixels(int x, int y, int width, int height) const;
    QSize ToPixels(int width, int height) const;

    // Gives `control` its id as object name and its place on its parent.
    void Place(QWidget* control, int id, int x, int y, int width, int height) const;

    // Sets the template's font size on `dialog` and returns its units.
    static DialogUnits ForDialog(QWidget* dialog, int pointSize);

private:
    int m_nAverageCharWidth;
    int m_nCharHeight;
};
