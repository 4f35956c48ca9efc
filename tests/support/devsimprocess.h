// The simulated Tavrel device as a process of the test's own: started with a
// profile written into the test's system folder, followed through what it
// prints, driven through its control socket, ended by SIGTERM to its own pid.
#pragma once

#include "tests/support/testenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QStringList>

struct DevSimProcess {
    QProcess process;
    QString port;
    QString control;
    QStringList said;

    bool start(const QString &profileText, const QString &portName)
    {
        const QString profile = QDir(qEnvironmentVariable("VELMORA_SYSTEM_DIR")).filePath(portName + ".ini");
        QFile f(profile);
        if (!f.open(QIODevice::WriteOnly))
            return false;
        f.write(profileText.toUtf8());
        f.close();
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(TestEnv::binary(QStringLiteral("tavrel-devsim")),
                      {QStringLiteral("--profile"), profile, QStringLiteral("--port"), portName});
        return waitFor(QStringLiteral("ready"), 10000);
    }
    // Reads what the simulator says until a line starting with `what`.
    bool waitFor(const QString &what, int ms)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            while (process.canReadLine()) {
                const QString line = QString::fromUtf8(process.readLine()).trimmed();
                said << line;
                if (line.startsWith(QLatin1String("port ")))
                    port = line.section(QLatin1Char(' '), 1, 1);
                if (line.startsWith(QLatin1String("control ")))
                    control = line.section(QLatin1Char(' '), 1);
                if (line.startsWith(what))
                    return true;
            }
            process.waitForReadyRead(100);
            if (process.state() == QProcess::NotRunning && !process.canReadLine())
                return false;
        }
        return false;
    }
    // The answer lines of a control command, up to and including "OK" or "ERR ...".
    QStringList command(const QString &text)
    {
        QLocalSocket s;
        s.connectToServer(control);
        if (!s.waitForConnected(3000))
            return {QStringLiteral("ERR no control socket")};
        s.write(text.toUtf8() + '\n');
        QStringList lines;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 5000) {
            while (s.canReadLine()) {
                lines << QString::fromUtf8(s.readLine()).trimmed();
                if (lines.last() == QLatin1String("OK") || lines.last().startsWith(QLatin1String("ERR")))
                    return lines;
            }
            s.waitForReadyRead(100);
        }
        return lines;
    }
    // The device's current settings as "section.name=value" lines.
    QStringList settings() { return command(QStringLiteral("get")); }
    int requests()
    {
        for (const QString &l : command(QStringLiteral("status")))
            if (l.startsWith(QLatin1String("requests ")))
                return l.mid(9).toInt();
        return -1;
    }
    ~DevSimProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000))
                process.kill();
        }
    }
};
