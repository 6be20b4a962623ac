// Opening a recorded file by dropping it on the window.
#include "gui/GUI.h"

#include "twl/twv/TwvFormat.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

QString GUI::droppedPath(const QUrl &url) {
#ifdef Q_OS_WIN
    QString path = url.toString();
    path.remove(QStringLiteral("file:///"));
    return path;
#else
    // Absolute paths start with a slash here; stripping the scheme text
    // would lose it.
    return url.toLocalFile();
#endif
}

void GUI::dragEnterEvent(QDragEnterEvent *event) {
    // Whatever is dragged is welcome; the drop decides what to do with it.
    event->acceptProposedAction();
}

void GUI::dropEvent(QDropEvent *event) {
    const QMimeData *data = event->mimeData();
    if (!data) return;
    const QList<QUrl> urls = data->urls();
    if (urls.isEmpty()) return;
    const QString path = droppedPath(urls.first());
    if (twl::isRecordingFileName(path.toStdString())) emit sendTWVWork(path);
}
