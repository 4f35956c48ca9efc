// Blocks in the packet diversion and hands every captured packet, as a heap
// QByteArray the receiver must delete, to the PPP engine by queued signal.
#pragma once

#include "platform/netdivert.h"

#include <QByteArray>
#include <QMetaType>
#include <QThread>

class NetDivertRecvThread : public QThread
{
    Q_OBJECT

public:
    explicit NetDivertRecvThread(QObject *parent = nullptr);

    // Called before start().
    void setHandle(DivertHandle handle) { m_handle = handle; }
    DivertHandle handle() const { return m_handle; }

    static void registerMetaTypes();

signals:
    void frameRecv(const QByteArray *ptr, void *ctx);
    void interfacesDetected(int ifIdx, int subidx, void *ctx);
    void threadFinished();

protected:
    void run() override;

private:
    DivertHandle m_handle = INVALID_DIVERT_HANDLE;
};

Q_DECLARE_METATYPE(const QByteArray *)
