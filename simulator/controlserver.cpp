#include "simulator/controlserver.h"

#include "simulator/device.h"
#include "varnok/protocol/deviceprotocol.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

namespace
{

QStringList error(const QString &why)
{
    return {QStringLiteral("ERR ") + why};
}

// A count or time argument; `fallback` when absent, -1 when it is no number.
int number(const QStringList &words, int index, int fallback)
{
    if (index >= words.size())
        return fallback;
    bool ok = false;
    const int n = words.at(index).toInt(&ok, 0);
    return ok && n >= 0 ? n : -1;
}

const char kHelp[] = "status | ports | get [SECTION] | set SECTION.NAME VALUE | ds N [COUNT] | menu tcpip | "
                     "restart [MS] | fault silent [COUNT] | fault refuse COMMAND|* [STATUS] [COUNT] | "
                     "fault garble [COUNT] | fault drop [MS] | fault clear | transaction TEXT | quit";

} // namespace

ControlServer::ControlServer(Device *device, QObject *parent) : QObject(parent), m_device(device) {}

bool ControlServer::listen(const QString &path, QString *errorText)
{
    QFile::remove(path); // a socket a killed simulator left
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(path)) {
        *errorText = QStringLiteral("cannot listen on %1: %2").arg(path, m_server->errorString());
        return false;
    }
    m_path = path;
    connect(m_server, &QLocalServer::newConnection, this, &ControlServer::accept);
    return true;
}

void ControlServer::accept()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readLines(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void ControlServer::readLines(QLocalSocket *socket)
{
    while (socket->canReadLine()) {
        const QString line = QString::fromUtf8(socket->readLine()).trimmed();
        if (line.isEmpty())
            continue;
        socket->write((execute(line).join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
        socket->flush();
    }
}

QStringList ControlServer::execute(const QString &line)
{
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString cmd = words.value(0);
    QStringList out;
    DeviceState &state = m_device->state();
    if (cmd == QLatin1String("help")) {
        out << QString::fromLatin1(kHelp);
    } else if (cmd == QLatin1String("status")) {
        out << m_device->counterLines() << m_device->portLines() << m_device->serviceLines();
    } else if (cmd == QLatin1String("ports")) {
        out << m_device->portLines();
    } else if (cmd == QLatin1String("get")) {
        const QStringList sections = words.size() > 1 ? QStringList{words.at(1)} : state.sections();
        for (const QString &s : sections) {
            if (!state.sections().contains(s))
                return error(QStringLiteral("no section ") + s);
            const QMap<QString, QString> values = state.section(s);
            for (auto it = values.cbegin(); it != values.cend(); ++it)
                out << QStringLiteral("%1.%2=%3").arg(s, it.key(), it.value());
        }
    } else if (cmd == QLatin1String("set")) {
        const int dot = words.value(1).indexOf(QLatin1Char('.'));
        if (words.size() < 2 || dot <= 0)
            return error(QStringLiteral("set SECTION.NAME VALUE"));
        const QString value = line.section(QLatin1Char(' '), 2, -1, QString::SectionSkipEmpty);
        if (!state.setValue(words.at(1).left(dot), words.at(1).mid(dot + 1), value))
            return error(QStringLiteral("no section ") + words.at(1).left(dot));
    } else if (cmd == QLatin1String("ds")) {
        const int ds = number(words, 1, -1);
        const int count = number(words, 2, 0);
        if (ds < 0 || count < 0)
            return error(QStringLiteral("ds N [COUNT]"));
        state.scriptDeviceState(ds, count);
    } else if (cmd == QLatin1String("menu")) {
        if (words.value(1) != QLatin1String("tcpip"))
            return error(QStringLiteral("menu tcpip"));
        m_device->menuSwitchPcInterface();
    } else if (cmd == QLatin1String("restart")) {
        const int ms = number(words, 1, state.restartMs());
        if (ms < 0)
            return error(QStringLiteral("restart [MS]"));
        m_device->restart(ms);
    } else if (cmd == QLatin1String("fault")) {
        const QString kind = words.value(1);
        if (kind == QLatin1String("silent")) {
            const int count = number(words, 2, 0);
            if (count < 0)
                return error(QStringLiteral("fault silent [COUNT]"));
            m_device->setSilent(count);
        } else if (kind == QLatin1String("refuse")) {
            bool ok = true;
            const quint32 status =
                words.size() > 3 ? words.at(3).toUInt(&ok, 0) : varnok::protocol::status::kNotAllowed;
            const int count = number(words, 4, 0);
            if (words.size() < 3 || !ok || status == 0 || count < 0)
                return error(QStringLiteral("fault refuse COMMAND|* [STATUS] [COUNT]"));
            m_device->setRefused(words.at(2), status, count);
        } else if (kind == QLatin1String("garble")) {
            const int count = number(words, 2, 1);
            if (count < 0)
                return error(QStringLiteral("fault garble [COUNT]"));
            m_device->setGarble(count);
        } else if (kind == QLatin1String("drop")) {
            const int ms = number(words, 2, 1000);
            if (ms < 0)
                return error(QStringLiteral("fault drop [MS]"));
            m_device->dropLine(ms);
        } else if (kind == QLatin1String("clear")) {
            m_device->clearFaults();
        } else {
            return error(QStringLiteral("fault silent|refuse|garble|drop|clear"));
        }
    } else if (cmd == QLatin1String("transaction")) {
        m_device->sendTransaction(line.section(QLatin1Char(' '), 1, -1, QString::SectionSkipEmpty));
    } else if (cmd == QLatin1String("quit")) {
        emit quitRequested();
    } else {
        return error(QStringLiteral("unknown command; try help"));
    }
    out << QStringLiteral("OK");
    return out;
}
