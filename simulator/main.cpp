// tavrel-devsim: a simulated Tavrel fiscal device on a pseudo-terminal (and
// optionally over TCP), for trying and testing the program without hardware.
// See docs/tavrel-devsim.md.
#include "log/debug_class.h"
#include "platform/systempaths.h"
#include "platform/unixsignalwatcher.h"
#include "simulator/controlserver.h"
#include "simulator/device.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

namespace
{

void say(const QString &line)
{
    std::fputs((line + QLatin1Char('\n')).toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrel-devsim"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Simulated Tavrel fiscal device on a pseudo-terminal."));
    parser.addHelpOption();
    const QCommandLineOption profileOption(QStringLiteral("profile"), QStringLiteral("Device profile (INI)."),
                                           QStringLiteral("file"));
    const QCommandLineOption portOption(
        QStringLiteral("port"), QStringLiteral("Port name (overrides the profile)."), QStringLiteral("name"));
    const QCommandLineOption controlOption(
        QStringLiteral("control"),
        QStringLiteral("Control socket (default: NAME.control in the device "
                       "ports folder)."),
        QStringLiteral("path"));
    const QCommandLineOption listenOption(QStringLiteral("listen"),
                                          QStringLiteral("Serve the TCP services on this host address."),
                                          QStringLiteral("address"));
    const QCommandLineOption menuOption(QStringLiteral("auto-menu"),
                                        QStringLiteral("Take the menu step to TCP/IP by itself this many ms "
                                                       "after the PC interface switch was set."),
                                        QStringLiteral("ms"));
    const QCommandLineOption descriptionOption(QStringLiteral("description"),
                                               QStringLiteral("Port description in the port inventory."),
                                               QStringLiteral("text"));
    const QCommandLineOption debugOption(QStringLiteral("debug"),
                                         QStringLiteral("Log level on standard error."),
                                         QStringLiteral("level"), QStringLiteral("4"));
    parser.addOptions(
        {profileOption, portOption, controlOption, listenOption, menuOption, descriptionOption, debugOption});
    parser.process(app);

    CGlobalDebugFileHandler *log = CGlobalDebugFileHandler::instance();
    log->setNoFile();
    log->setLevel(parser.value(debugOption).toInt());
    log->start(QString());

    DeviceState state;
    QString error;
    if (parser.isSet(profileOption) && !state.loadProfile(parser.value(profileOption), &error)) {
        std::fprintf(stderr, "tavrel-devsim: %s\n", error.toLocal8Bit().constData());
        return 2;
    }
    if (parser.isSet(portOption))
        state.setPortName(parser.value(portOption));
    Device::Options options;
    options.devicePortsFolder = SystemPaths::devicePortsFolder();
    options.description = parser.value(descriptionOption);
    options.listenAddress = parser.value(listenOption);
    if (parser.isSet(menuOption)) {
        bool ok = false;
        options.autoMenuMs = parser.value(menuOption).toInt(&ok);
        if (!ok || options.autoMenuMs < 0) {
            std::fprintf(stderr, "tavrel-devsim: --auto-menu takes milliseconds\n");
            return 2;
        }
    }
    const QString controlPath =
        parser.isSet(controlOption)
            ? parser.value(controlOption)
            : options.devicePortsFolder + QLatin1Char('/') + state.portName() + QStringLiteral(".control");

    Device device(state, options);
    QObject::connect(&device, &Device::announce, &app, [](const QString &line) { say(line); });
    if (!device.start(&error)) {
        std::fprintf(stderr, "tavrel-devsim: %s\n", error.toLocal8Bit().constData());
        return 1;
    }
    ControlServer control(&device);
    if (!control.listen(controlPath, &error)) {
        std::fprintf(stderr, "tavrel-devsim: %s\n", error.toLocal8Bit().constData());
        return 1;
    }
    QObject::connect(&control, &ControlServer::quitRequested, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    UnixSignalWatcher signals_;
    QObject::connect(&signals_, &UnixSignalWatcher::terminationRequested, &app, &QCoreApplication::quit);

    for (const QString &line : device.portLines().mid(1))
        say(line);
    for (const QString &line : device.serviceLines())
        say(line);
    say(QStringLiteral("control ") + control.path());
    say(QStringLiteral("ready"));
    const int rc = app.exec();
    QFile::remove(control.path());
    return rc;
}
