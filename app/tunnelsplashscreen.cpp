#include "app/tunnelsplashscreen.h"

#include "log/debug_class.h"

#include <QEvent>

TunnelSplashScreen::TunnelSplashScreen()
    : QSplashScreen(QPixmap(QStringLiteral(":/images/tavrel_splash.png")), Qt::WindowStaysOnTopHint)
{
    installEventFilter(this);
}

bool TunnelSplashScreen::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
        VLOG(16) << "Mouse event filtered out";
        return true;
    default:
        return QSplashScreen::eventFilter(watched, event);
    }
}
