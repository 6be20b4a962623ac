#pragma once
// The product logo, recoloured to the window's palette, shown centred over the
// point-cloud view while no input is running.

#include <QByteArray>
#include <QRectF>
#include <QString>
#include <QWidget>

class GuiStyle;
class QPaintEvent;
class QResizeEvent;
class QSvgRenderer;

class LogoScreen : public QWidget {
    Q_OBJECT

public:
    LogoScreen(QWidget *parent, GuiStyle *style);
    ~LogoScreen() override;

    /// Sets the fill of every <path> element, in document order: the first
    /// one firstFill, all later ones otherFill. Returns the document
    /// serialised with indent 1 (empty when svg does not parse).
    static QByteArray recolourSvg(const QByteArray &svg, const QString &firstFill, const QString &otherFill);

    QSvgRenderer *logoRenderer = nullptr;
    QRectF logoRect;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
};
