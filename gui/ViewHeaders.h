#pragma once
// Temporary bridge until the view headers are merged in.
#if __has_include("render/OGL2DWidget.h")
#include "render/OGL2DWidget.h"
#include "render/OGL3DWidget.h"
#else
#include <QWidget>
class OGL2DWidget : public QWidget {
public:
    explicit OGL2DWidget(QWidget *parent) : QWidget(parent) {}
    bool isImageView = false;
    void setActive(bool) {}
};
class OGL3DWidget : public QWidget {
public:
    explicit OGL3DWidget(QWidget *parent) : QWidget(parent) {}
    void setActive(bool) {}
    void Ingest() {}
    void updateFrustum() {}
};
#endif
