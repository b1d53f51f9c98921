#pragma once

class QSystemTrayIcon;

// Keeps the icon in the notification area for the whole run, whenever there is one: shown at once when a tray
// exists, else as soon as one appears (a desktop session that starts its panel after the driver), and shown
// again when a tray that went away comes back (a panel restarted). Looks once a second, on the main thread,
// from a timer owned by the icon. Main thread only.
void KeepInTray(QSystemTrayIcon* icon);
