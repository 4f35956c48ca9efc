// The device's end of a PPP link on its serial line, with lwIP's own IPv4
// stack and TCP behind it: the TCP services are then served at the
// device's configured address. lwIP is one per process, and so is this.
#pragma once

#include "simulator/services.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QTimer;

class PppLink : public ServiceHost
{
    Q_OBJECT
public:
    explicit PppLink(QObject *parent = nullptr);
    ~PppLink() override;

    // Waits for the PC's end to open the link; the device takes `address`.
    bool start(const QString &address, QString *error);
    void stop();
    bool isRunning() const { return m_pcb != nullptr; }
    bool isUp() const { return m_up; }
    QString peerAddress() const { return m_peer; }
    // Serial bytes from the line.
    void input(const QByteArray &bytes);

    bool listen(const QString &key, quint16 port) override;
    void stop(const QString &key) override;
    QString address() const override { return m_address; }

    // lwIP's callbacks (C linkage side).
    void outputFromStack(const char *data, int len);
    void statusFromStack(int code);

signals:
    // Serial bytes for the line.
    void output(const QByteArray &bytes);
    void upChanged(bool up);

private:
    void rearm();

    struct ppp_pcb_s *m_pcb = nullptr;
    void *m_netif = nullptr;
    QTimer *m_tick = nullptr;
    QString m_address;
    QString m_peer;
    bool m_up = false;
    bool m_stopping = false;
    QHash<QString, void *> m_listeners; // key -> tcp_pcb
};
