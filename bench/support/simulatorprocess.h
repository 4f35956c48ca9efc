// The simulated device as a process of a benchmark's own: tavrel-devsim from
// the benchmark's folder, started with a profile, followed through the lines
// it prints until "ready", ended by SIGTERM to its own pid.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>

struct SimulatorProcess {
    QProcess process;
    QString port; // its name
    QString link; // the link to its terminal
    QString com1; // its own COM1 terminal

    bool start(const QString &profile,
               const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/tavrel-devsim"),
                      {QStringLiteral("--profile"), profile});
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 20000 && process.state() != QProcess::NotRunning) {
            process.waitForReadyRead(200);
            while (process.canReadLine()) {
                const QStringList w = QString::fromUtf8(process.readLine()).trimmed().split(QLatin1Char(' '));
                if (w.value(0) == QLatin1String("port")) {
                    port = w.value(1);
                    link = w.value(2);
                } else if (w.value(0) == QLatin1String("com1")) {
                    com1 = w.value(1);
                } else if (w.value(0) == QLatin1String("ready")) {
                    return !port.isEmpty();
                }
            }
        }
        return false;
    }
    ~SimulatorProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000))
                process.kill();
        }
    }
};
