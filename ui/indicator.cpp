#include "ui/indicator.h"

#include <QPainter>

TImage::TImage(QWidget* parent) : QWidget(parent), m_picture(16, 16, QImage::Format_RGB32) {
    setFixedSize(16, 16);
    m_picture.fill(Qt::white);
}

void TImage::MarkDrawn() {
    m_drawn = true;
    update();
}

void TImage::paintEvent(QPaintEvent*) {
    if (!m_drawn) return;
    QPainter p(this);
    p.drawImage(0, 0, m_picture);
}

void DrawIndicator(QImage& picture, bool up, int phase) {
    picture.fill(QColor(255, 255, 255));
    const QRgb c = up ? qRgb(0, 128, 0) : qRgb(255, 0, 0);
    auto put = [&](int x, int y) {
        if (x >= 0 && x < picture.width() && y >= 0 && y < picture.height()) picture.setPixel(x, y, c);
    };
    for (int x = 0; x < 16; ++x) {
        for (int y : {3, 4, 13, 14}) put(x, y);
    }
    for (int y = 3; y < 15; ++y) {
        for (int x : {0, 1, 14, 15}) put(x, y);
    }
    for (int i = 0; i < 5; ++i) {
        int x = phase + i;
        if (x > 16) x -= 16;
        for (int y = 5; y < 12; ++y) put(x, y);
    }
}

void DrawIndicator(TImage* picture, bool up, int phase) {
    if (picture == nullptr) return;
    DrawIndicator(picture->Picture(), up, phase);
    picture->MarkDrawn();
}
