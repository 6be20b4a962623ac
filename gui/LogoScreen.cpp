#include "gui/LogoScreen.h"

#include "gui/GuiStyle.h"

#include <QDomDocument>
#include <QDomElement>
#include <QFile>
#include <QPainter>
#include <QResizeEvent>
#include <QSvgRenderer>

namespace {

// Depth first, an element before its children, children in document order.
void recolourPaths(QDomElement element, int &painted, const QString &firstFill, const QString &otherFill) {
    if (element.tagName() == QLatin1String("path")) {
        element.setAttribute("fill", painted == 0 ? firstFill : otherFill);
        ++painted;
    }
    for (QDomElement child = element.firstChildElement(); !child.isNull(); child = child.nextSiblingElement())
        recolourPaths(child, painted, firstFill, otherFill);
}

} // namespace

QByteArray LogoScreen::recolourSvg(const QByteArray &svg, const QString &firstFill,
                                   const QString &otherFill) {
    QDomDocument doc;
    if (!doc.setContent(svg)) return QByteArray();
    // Counted per document: every logo gets its one white shape, however many
    // overlays a process creates.
    int painted = 0;
    recolourPaths(doc.documentElement(), painted, firstFill, otherFill);
    return doc.toByteArray(1);
}

LogoScreen::LogoScreen(QWidget *parent, GuiStyle *style) : QWidget(parent) {
    QFile file(":/SVG/logo-vantaro.svg");
    file.open(QIODevice::ReadOnly);
    const QByteArray svg = recolourSvg(file.readAll(), style->whiteColor, style->accentColor);
    logoRenderer = new QSvgRenderer(svg, this);
}

LogoScreen::~LogoScreen() = default;

void LogoScreen::paintEvent(QPaintEvent *) {
    QPainter painter;
    painter.begin(this);
    logoRenderer->render(&painter, logoRect);
    painter.end();
}

void LogoScreen::resizeEvent(QResizeEvent *event) {
    const QSize size = event->size();
    const int lh = static_cast<int>(size.height() * 0.15);
    const QSize def = logoRenderer->defaultSize();
    const int lw = def.height() > 0
                       ? static_cast<int>(static_cast<float>(def.width()) / static_cast<float>(def.height()) *
                                          static_cast<float>(lh))
                       : 0;
    logoRect = QRectF((size.width() - lw) * 0.5, (size.height() - lh) * 0.5, lw, lh);
    QWidget::resizeEvent(event);
}
