// Splash shown while the services start; clicks do not close it.
#pragma once

#include <QSplashScreen>

class TunnelSplashScreen : public QSplashScreen
{
    Q_OBJECT
public:
    TunnelSplashScreen();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};
