#include "app/controlclient.h"

#include "app/controlserver.h"
#include "ports/winelinks.h"
#include "velmora_version.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTextStream>

#include <cstdio>
#include <cstring>

namespace
{
const char *const kOwnOptions[] = {"--list",    "--start", "--stop", "--wine-link",
                                   "--version", "-v",      "--help", "-h"};

void print(FILE *to, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
    if (!bytes.isEmpty() && !bytes.endsWith('\n'))
        std::fputc('\n', to);
}
} // namespace

bool ControlClient::handles(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        for (const char *option : kOwnOptions)
            if (std::strcmp(argv[i], option) == 0 ||
                (std::strncmp(argv[i], option, std::strlen(option)) == 0 &&
                 argv[i][std::strlen(option)] == '='))
                return true;
    return false;
}

int ControlClient::run(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Velmora"));
    QCoreApplication::setOrganizationName(QStringLiteral("Tavrel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION_STRING));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Velmora"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(
        {{QStringLiteral("m"), QStringLiteral("minimized")}, QStringLiteral("Uruchom zminimalizowany.")});
    parser.addOption(
        {QStringLiteral("list"), QStringLiteral("Wypisz konfiguracje uruchomionej aplikacji i ich stany.")});
    parser.addOption(
        {QStringLiteral("start"),
         QStringLiteral("Uruchom konfigurację o numerze z listy (lub UUID) w uruchomionej aplikacji."),
         QStringLiteral("N")});
    parser.addOption(
        {QStringLiteral("stop"),
         QStringLiteral("Zatrzymaj konfigurację o numerze z listy (lub UUID) w uruchomionej aplikacji."),
         QStringLiteral("N")});
    parser.addOption(
        {QStringLiteral("wine-link"),
         QStringLiteral("Połącz porty COM konfiguracji z prefiksem Wine (dosdevices/comN) i zakończ."),
         QStringLiteral("PREFIKS")});
    parser.process(app); // --help and --version end here

    const QString dataPath = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (parser.isSet(QStringLiteral("wine-link"))) {
        QTextStream out(stdout);
        QTextStream err(stderr);
        return WineLinks::runCommand(parser.value(QStringLiteral("wine-link")),
                                     QDir(dataPath).absoluteFilePath(QStringLiteral("configuration.ini")),
                                     out, err);
    }

    QString request;
    if (parser.isSet(QStringLiteral("list")))
        request = QStringLiteral("list");
    else if (parser.isSet(QStringLiteral("start")))
        request = QStringLiteral("start ") + parser.value(QStringLiteral("start"));
    else if (parser.isSet(QStringLiteral("stop")))
        request = QStringLiteral("stop ") + parser.value(QStringLiteral("stop"));

    const QString path = ControlServer::socketPath(dataPath);
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(3000)) {
        print(stderr,
              QStringLiteral("Velmora nie jest uruchomiona (%1: %2)").arg(path, socket.errorString()));
        return ControlServer::NotRunning;
    }
    socket.write(request.toUtf8() + '\n');
    socket.flush();
    QByteArray answer;
    while (socket.state() == QLocalSocket::ConnectedState &&
           socket.waitForReadyRead(ControlServer::kFollowMs + 5000))
        answer += socket.readAll();
    answer += socket.readAll();
    const int newline = answer.indexOf('\n');
    bool ok = false;
    const int code = answer.left(newline).toInt(&ok);
    if (newline < 0 || !ok) {
        print(stderr, QStringLiteral("Brak odpowiedzi uruchomionej aplikacji"));
        return ControlServer::NotRunning;
    }
    print(code == ControlServer::Ok ? stdout : stderr, QString::fromUtf8(answer.mid(newline + 1)));
    return code;
}
