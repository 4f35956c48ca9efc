#include "app/tunneltrayicon.h"

TunnelTrayIcon::TunnelTrayIcon(QObject *parent)
    : QSystemTrayIcon(QIcon(QStringLiteral(":/images/application2.png")), parent)
{
    setToolTip(QStringLiteral("Velmora"));
}
