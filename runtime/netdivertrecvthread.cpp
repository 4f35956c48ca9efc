#include "runtime/netdivertrecvthread.h"

#include "log/debug_class.h"

#include <cerrno>

NetDivertRecvThread::NetDivertRecvThread(QObject *parent) : QThread(parent)
{
    registerMetaTypes();
}

void NetDivertRecvThread::registerMetaTypes()
{
    qRegisterMetaType<const QByteArray *>("const QByteArray*");
}

void NetDivertRecvThread::run()
{
    VLOG(6) << "WinDivertRecv thread started";
    bool first = true;
    void *const ctx = reinterpret_cast<void *>(m_handle);
    QByteArray buffer(0xFFFF, Qt::Uninitialized);
    while (!isInterruptionRequested()) {
        DivertAddress addr;
        uint length = 0;
        if (!WinDivertRecv(m_handle, buffer.data(), 0xFFFF, &addr, &length)) {
            VLOG(-10) << QString("WinDivertRecv error: %1").arg(errno);
            QThread::msleep(100);
            continue;
        }
        if (length == 0)
            continue;
        VLOG(6) << QString("WinDivertRecv frame recv: %1 (if=%2, subif=%3, dir=%4)")
                       .arg(length)
                       .arg(addr.IfIdx)
                       .arg(addr.SubIfIdx)
                       .arg(addr.Direction);
        auto *copy = new QByteArray(buffer.constData(), int(length));
        if (first) {
            first = false;
            emit interfacesDetected(int(addr.IfIdx), int(addr.SubIfIdx), ctx);
        }
        emit frameRecv(copy, ctx);
    }
    emit threadFinished();
    VLOG(6) << "Thread finished";
}
