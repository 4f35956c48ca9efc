// taskinstall: run once by the installer. Registers the start of the
// program velmora (installed beside this tool) with the user's session
// through the task bridge libledmir.so, and, given the program's data
// folder as its first argument, switches the matching settings on in that
// folder's configuration.ini. Messages go to standard error, one per line.
//
// Exit codes: 0 registered (whatever happened to configuration.ini),
// 3 the bridge library cannot be loaded, 4 it lacks CreateTaskDefinition,
// 5 CreateTaskDefinition failed, 6 the tool's own folder is unknown.
// Codes 1 and 2 (the system's component services could not be set up) are
// kept free: this system needs no such set-up before the bridge is called.
#include "ledmir/ledmir.h"
#include "platform/librarylocation.h"
#include "tools/taskinstall/configedit.h"

#include <QCoreApplication>
#include <QFile>
#include <QLibrary>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace
{

void errorLine(const QByteArray &text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void updateConfiguration(const QByteArray &folder)
{
    const QByteArray path = folder + "/configuration.ini";
    QFile file(QFile::decodeName(path));
    if (!file.open(QIODevice::ReadOnly)) {
        errorLine("Could not open cfg file: " + path);
        return;
    }
    const QByteArray content = file.readAll();
    const bool complete = file.error() == QFileDevice::NoError;
    file.close();
    if (!complete) { // a half-read file is never written back
        errorLine("Could not read cfg file: " + path);
        return;
    }
    QString error;
    if (!taskinstall::replaceFile(path, taskinstall::withStartSettings(content), &error))
        errorLine("Could not write cfg file: " + path + " (" + error.toLocal8Bit() + ")");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    QLibrary library(LibraryLocation::find("VELMORA_LEDMIR", QStringLiteral("ledmir")));
    if (!library.load()) {
        errorLine("LoadLibrary failed " + library.errorString().toLocal8Bit());
        return 3;
    }
    const CreateTaskDefinitionFn createTaskDefinition =
        reinterpret_cast<CreateTaskDefinitionFn>(library.resolve(ledmir::kCreateTaskDefinition));
    if (!createTaskDefinition) {
        errorLine("GetProcAddress failed " + library.errorString().toLocal8Bit());
        return 4;
    }
    // The folder of this tool's own file (links resolved), where velmora is installed.
    const QString folder = QCoreApplication::applicationDirPath();
    if (folder.isEmpty()) {
        errorLine("GetModuleHandle failed ");
        return 6;
    }

    int32_t code = 0;
    int32_t stage = 0;
    if (!createTaskDefinition(L"Velmora", (folder + QStringLiteral("/velmora")).toStdWString(),
                              folder.toStdWString(), L"TAVREL POLSKA SA", false, 90, &code, &stage)) {
        char text[96];
        std::snprintf(text, sizeof text, "CreateTaskDefinition failed - code: %x state: %x", unsigned(code),
                      unsigned(stage));
        errorLine(text);
        return 5;
    }
    errorLine("Task install OK ");
    if (argc > 1)
        updateConfiguration(QByteArray(argv[1]));
    return 0;
}
