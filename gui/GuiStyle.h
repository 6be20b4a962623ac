#pragma once
// The window's look in one place: the embedded fonts, the palette, the three
// fonts and every style sheet, plus small factories for the top-bar widgets.

#include <QFont>
#include <QString>

class QComboBox;
class QLabel;
class QLineEdit;
class QToolButton;
class QWidget;

class GuiStyle {
public:
    GuiStyle();

    /// Point size that keeps text about the same pixel size on any screen
    /// density: 280 / (pixel width of "1234" in Arial 10 pt), truncated.
    /// A width that is not positive gives 10.
    static int baseFontSizeForWidth(int width);

    /// Rebuilds fontCss and every sheet from the current colour values.
    void buildSheets();

    QToolButton *makeToolButton(QWidget *parent, int x, int y, int w, int h, const QString &sheet,
                                const QString &text, int id) const;
    QComboBox *makeComboBox(QWidget *parent, int x, int y, int w, int h, const QString &sheet,
                            const QFont &font, int id) const;
    QLabel *makeLabel(QWidget *parent, int x, int y, int w, int h, const QString &sheet, const QFont &font,
                      const QString &text) const;
    QLineEdit *makeLineEdit(QWidget *parent, int x, int y, int w, int h, const QString &text,
                            const QString &sheet, const QFont &font, int id, bool readOnly,
                            bool alignLeft) const;

    QString darkColor;
    QString greyColor;
    QString silverColor;
    QString lightColor;
    QString accentColor;
    QString accentDarkColor;
    QString whiteColor;
    QString blackColor;
    QString textColor;
    QString warningColor;

    int baseFontSize = 10;
    QFont comboFont;
    QFont titleFont;
    QFont labelFont;

    QString fontCss;
    QString buttonSheet;
    QString segmentLeftSheet;
    QString segmentMiddleSheet;
    QString segmentRightSheet;
    QString comboSheet;
    QString sliderSheet;
    QString backgroundSheet;
    QString fieldSheet;
    QString switchSheet;
    QString spinBoxSheet;
    QString pauseSheet;
    QString stopSheet;
    QString gearSheet;
    QString liveSheet;
    QString fileSheet;
    QString recordSheet;
};
