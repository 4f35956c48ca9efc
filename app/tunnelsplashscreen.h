// The maker's picture for the first seconds of a start; a click does not
// close it early.
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
