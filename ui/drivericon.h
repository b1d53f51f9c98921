#pragma once

#include <QIcon>
#include <QPixmap>

// The program's icon (window, tray, header band): a rounded tile with a receiving mast and a green link bar.
// Drawn with QPainter at 16, 24, 32, 48, 64 and 128 pixels. Needs a QGuiApplication; main thread only.
QIcon DriverIcon();
// One drawing of the icon at size × size device-independent pixels.
QPixmap DriverIconPixmap(int size);
