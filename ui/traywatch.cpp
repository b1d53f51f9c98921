#include "ui/traywatch.h"

#include <QSystemTrayIcon>
#include <QTimer>

namespace {

constexpr int kLookEveryMs = 1000;

// An icon shown while no tray exists counts as visible but sits nowhere, and showing it again does nothing:
// it is hidden while there is no tray, so that the tray's return shows it anew.
void Follow(QSystemTrayIcon* icon) {
    const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
    if (tray && !icon->isVisible()) icon->show();
    if (!tray && icon->isVisible()) icon->hide();
}

}  // namespace

void KeepInTray(QSystemTrayIcon* icon) {
    if (icon == nullptr) return;
    Follow(icon);
    auto* timer = new QTimer(icon);
    QObject::connect(timer, &QTimer::timeout, icon, [icon] { Follow(icon); });
    timer->start(kLookEveryMs);
}
