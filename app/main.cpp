#include "app/controlclient.h"
#include "app/debugini.h"
#include "app/tunnelapplication.h"
#include "config/tunnelsettings.h"
#include "log/debug_class.h"
#include "platform/singleinstance.h"
#include "platform/unixsignalwatcher.h"
#include "ports/serialportenumerator.h"
#include "ui/messagebox.h"
#include "velmora_version.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTranslator>

#include <cstdio>
#include <sys/utsname.h>

namespace
{
// debug.ini values are plain texts; an unquoted value with commas (such as
// "all,-mainwindow") comes back from the settings library as a list.
QString debugValue(const QSettings &ini, const QString &key, const QString &defaultValue)
{
    const QVariant v = ini.value(key, defaultValue);
    return v.type() == QVariant::StringList ? v.toStringList().join(QLatin1Char(',')) : v.toString();
}

// Held for the whole life of the process; the kernel releases it at exit.
SingleInstance g_singleInstance;

// The kernel's version as one number, the way the kernel itself encodes it.
QString kernelVersionCode()
{
    struct utsname u;
    if (::uname(&u) != 0)
        return QStringLiteral("0000");
    const QStringList parts =
        QString::fromLatin1(u.release).split(QRegularExpression(QStringLiteral("[.-]")));
    const uint code = (parts.value(0).toUInt() << 16) | (qMin(parts.value(1).toUInt(), 255u) << 8) |
                      qMin(parts.value(2).toUInt(), 255u);
    return QStringLiteral("%1").arg(code, 4, 16, QLatin1Char('0'));
}
} // namespace

int main(int argc, char *argv[])
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    // Requests to the running instance, the version and the help need
    // neither the application, nor the log, nor a display.
    if (ControlClient::handles(argc, argv))
        return ControlClient::run(argc, argv);

    CGlobalDebugFileHandler *log = CGlobalDebugFileHandler::instance();
    QMap<QString, QString> systems;
    systems.insert(QStringLiteral("mainwindow.cpp"), QStringLiteral("mainwindow"));
    log->registerLogSystems(systems);

    TunnelApplication app(argc, argv);
    // Installed first, so a termination request during start-up is not lost:
    // it is handled as soon as the event loop runs.
    UnixSignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &UnixSignalWatcher::terminationRequested, &app,
                     &TunnelApplication::terminationRequested);

    if (g_singleInstance.anotherInstanceRunning()) {
        VLOG(-100) << "[MASTER] Another instance running. Bailout.";
        MessageBox::critical(
            nullptr, QObject::tr("Błąd"),
            QObject::tr(
                "Jest już uruchomiona inna instancja aplikacji \"Velmora\". Sprawdź w zasobniku systemowym. Aplikacja zostanie zakończona."));
        log->flush();
        return -1;
    }

    QStringList startupMessages;
    if (g_singleInstance.errorCode() != 0)
        startupMessages << QStringLiteral(
                               "[MASTER] Single-instance lock unavailable (error %1), running unguarded")
                               .arg(g_singleInstance.errorCode());
    QTranslator qtTranslator;
    const QString localeName = QLocale::system().name();
    if (!qtTranslator.load(QStringLiteral("qt_") + localeName,
                           QLibraryInfo::location(QLibraryInfo::TranslationsPath)))
        startupMessages << QStringLiteral("[MASTER] Cannot load translations: qt_%1").arg(localeName);
    app.installTranslator(&qtTranslator);

    QCommandLineParser parser;
    const QCommandLineOption minimizedOption(QStringList{QStringLiteral("m"), QStringLiteral("minimized")},
                                             QCoreApplication::translate("main", "Uruchom zminimalizowany."));
    parser.addOption(minimizedOption);
    parser.process(app);

    const QString dataPath = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    registerTunnelSettingsMetaTypes();
    startupMessages << QStringLiteral("[MASTER] Data path set to: %1").arg(dataPath);

    QDir dataDir(dataPath);
    if (!dataDir.exists() && !dataDir.mkpath(QStringLiteral("."))) {
        VLOG(-100) << "[MASTER] Cannot create application data path";
        MessageBox::critical(
            nullptr, QObject::tr("Błąd"),
            QObject::tr("Nie można utworzyć katalogu danych aplikacji '%1'. Aplikacja zostanie zakończona.")
                .arg(dataPath));
        log->flush();
        return -1;
    }

    app.setDataPath(dataDir.absolutePath());
    QDir::setCurrent(dataDir.absolutePath());
    dataDir.mkdir(QStringLiteral("logs"));

    log->setFileNames(QStringLiteral("velmora"), QStringLiteral("srv"));
    QSettings debugIni(QStringLiteral("debug.ini"), QSettings::IniFormat);
    if (debugValue(debugIni, QStringLiteral("debugnofile"), QStringLiteral("0")).toInt() != 0)
        log->setNoFile();
    if (!log->start(QStringLiteral("logs"))) {
        VLOG(-100) << "[MASTER] Cannot create logging directory";
        log->setLevel(0);
    } else {
        log->setLevel(debugValue(debugIni, QStringLiteral("debuglevel"), QStringLiteral("0")).toInt());
    }
    log->setConsole(debugValue(debugIni, QStringLiteral("debugconsole"), QStringLiteral("1")).toInt());
    log->SetLogSystems(debugValue(debugIni, QStringLiteral("debugsystems"), QStringLiteral("all")));
    const DebugUdpTarget udp =
        debugUdpTarget(debugValue(debugIni, QStringLiteral("debugport"), QStringLiteral("0")),
                       debugValue(debugIni, QStringLiteral("debugip"), QStringLiteral("127.0.0.1")));
    for (const QString &warning : udp.warnings)
        VLOG(-10) << warning;
    if (udp.enabled) {
        VLOG(4) << "[MASTER] enabling UDP target: port=" << udp.port << " ip=" << udp.address;
        log->setUdpTarget(udp.address, udp.port);
    }

    const QFileInfo logFile(log->logFileName());
    const QString logBase = logFile.absolutePath() + QDir::separator() + logFile.completeBaseName();
    const QString pcapName = logBase + QStringLiteral(".pcap");
    const bool pcapOn = debugValue(debugIni, QStringLiteral("debugpcap"), QStringLiteral("0")).toInt() != 0;
    VLOG(4) << "[MASTER] PCAP dump file name:" << pcapName
            << (pcapOn ? " PCAP dump ENABLED" : " PCAP dump DISABLED");
    QMap<QString, QString> debugSettings;
    debugSettings.insert(QStringLiteral("pcapfilename"), pcapOn ? pcapName : QString());
    debugSettings.insert(QStringLiteral("prnfilename"), logBase + QStringLiteral("-printer.log"));
    debugSettings.insert(QStringLiteral("prnlogging"),
                         debugValue(debugIni, QStringLiteral("debugprn"), QStringLiteral("0")));

    for (const QString &message : qAsConst(startupMessages))
        VLOG(4) << message;

    VLOG(-10) << "[MASTER] Engine application version:" << VELMORA_VERSION_STRING;
    VLOG(4) << QStringLiteral("Running on linux version: 0x%1 (%2)")
                   .arg(kernelVersionCode(), QSysInfo::prettyProductName());
    QString ports = QStringLiteral("Available serial ports:");
    for (const SerialPortEnumerator::PortInfo &port : SerialPortEnumerator::availablePorts())
        ports +=
            QStringLiteral("\nPort=%1, Loc=%2, Pi=%3").arg(port.name, port.systemLocation, port.description);
    VLOG(4) << ports;

    app.setDebugSettings(debugSettings);
    app.InitializeApp(parser.isSet(minimizedOption));
    const int result = app.terminationPending() ? 0 : app.exec();
    app.shutdown();

    VLOG(0) << "[MASTER] --------------------------- RUN ENDED SUCESSFULLY ----------------";
    log->flush();
    return result;
}
