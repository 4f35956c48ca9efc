// The program's icon in the system tray: it brings the main window back and
// shows the supervisor's messages.
#pragma once

#include <QSystemTrayIcon>

class TunnelTrayIcon : public QSystemTrayIcon
{
    Q_OBJECT
public:
    explicit TunnelTrayIcon(QObject *parent = nullptr);
};
