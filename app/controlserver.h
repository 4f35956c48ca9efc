// The running program's control socket: a technician on the shop's PC (over
// SSH, without its desktop) lists the configurations and starts or stops
// them with `velmora --list / --start N / --stop N`. Only the user who runs
// the program may connect; the window's own checks and refusal texts apply.
#pragma once

#include "config/tunnelsettings.h"

#include <QObject>
#include <QVector>

class MainWindow;
class QLocalServer;
class QLocalSocket;

class ControlServer : public QObject
{
    Q_OBJECT
public:
    // Exit codes the client returns, one per outcome.
    enum Result { Ok = 0, Refused = 1, BadRequest = 2, NotRunning = 3, EndedInError = 4 };
    // How long a start or stop is followed before its reply.
    static constexpr int kFollowMs = 30000;

    ControlServer(MainWindow *window, QVector<TunnelSettings> *configurations, QObject *parent = nullptr);
    ~ControlServer() override;

    // Listens at the path (a stale socket left by an ended run is replaced:
    // the single-instance lock is held). False, logged, when it cannot.
    bool listen(const QString &path);
    static QString socketPath(const QString &dataPath);
    // The list as --list prints it.
    static QString listText(const QVector<TunnelSettings> &configurations);

private:
    void onNewConnection();
    void handle(QLocalSocket *socket, const QString &request);
    // The configuration a request names by its number in the list or its uuid; -1 when none.
    int find(const QString &which) const;
    // Replies once the configuration has left the transitional states (or the time is up).
    void follow(QLocalSocket *socket, const QUuid &uuid, bool starting);
    static void reply(QLocalSocket *socket, Result result, const QString &text);

    MainWindow *m_window;
    QVector<TunnelSettings> *m_configurations;
    QLocalServer *m_server;
};
