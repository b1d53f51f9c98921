#include "ui/drivericon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

QPixmap DriverIconPixmap(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);

    // The tile.
    QLinearGradient ground(0, 0, 0, 64);
    ground.setColorAt(0, QColor(0x2b, 0x5d, 0x8c));
    ground.setColorAt(1, QColor(0x16, 0x33, 0x52));
    p.setPen(Qt::NoPen);
    p.setBrush(ground);
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);

    // The mast with its two pairs of waves.
    QPen white(QColor(0xf4, 0xf7, 0xfa), 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(white);
    p.drawLine(QPointF(32, 24), QPointF(32, 44));
    p.setBrush(QColor(0xf4, 0xf7, 0xfa));
    p.drawEllipse(QPointF(32, 22), 3, 3);
    p.setBrush(Qt::NoBrush);
    QPen wave(QColor(0xf4, 0xf7, 0xfa), 4, Qt::SolidLine, Qt::RoundCap);
    p.setPen(wave);
    p.drawArc(QRectF(20, 10, 24, 24), 135 * 16, 90 * 16);
    p.drawArc(QRectF(20, 10, 24, 24), -45 * 16, 90 * 16);
    p.drawArc(QRectF(11, 1, 42, 42), 140 * 16, 80 * 16);
    p.drawArc(QRectF(11, 1, 42, 42), -40 * 16, 80 * 16);

    // The link bar at the foot.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x3c, 0xc0, 0x5a));
    p.drawRoundedRect(QRectF(12, 48, 40, 8), 3, 3);
    p.end();
    return pm;
}

QIcon DriverIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128}) icon.addPixmap(DriverIconPixmap(size));
    return icon;
}
