// Renders the set-up wizard's pages for the documentation, driven against the simulated device:
//   QT_QPA_PLATFORM=offscreen drawwizard docs/images
// (tavrel-devsim and libvarnok.so are taken from the program's own folder).
#include "config/tunnelsettings.h"
#include "tests/support/samplecontext.h"
#include "ui/tunnellistmodel.h"
#include "wizard/tavrelcmloader.h"
#include "wizard/tavreldevicecomm.h"
#include "wizard/tunnelwizard.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <functional>

namespace
{

bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return true;
}

bool grab(QWizard *w, const QString &path)
{
    QApplication::processEvents();
    const bool ok = w->grab().save(path);
    qInfo("%s %s", qPrintable(path), ok ? "written" : "NOT written");
    return ok;
}

void forward(QWizard *w)
{
    QAbstractButton *b = w->button(QWizard::NextButton);
    if (!b->isVisible())
        b = w->button(QWizard::CommitButton);
    b->click();
}
} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    registerTunnelSettingsMetaTypes();
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    const QString bin = QCoreApplication::applicationDirPath();
    QTemporaryDir tmp;
    qputenv("VELMORA_SYSTEM_DIR", QFile::encodeName(tmp.path()));
    qputenv("VELMORA_PORTS_DIR", QFile::encodeName(tmp.path() + QStringLiteral("/ports")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(tmp.path()));
    qputenv("VELMORA_VSPDCTL", "/nonexistent/libvspdctl.so");
    qputenv("VELMORA_VARNOK", QFile::encodeName(bin + QStringLiteral("/libvarnok.so")));

    QFile profile(tmp.filePath(QStringLiteral("sim.ini")));
    if (!profile.open(QIODevice::WriteOnly))
        return 1;
    profile.write("[device]\nname=Tavrel Mira 01\nlink=COM1\nrestart_ms=1000\n[com1]\nsp=115200\nfl=1\n"
                  "[tun0]\nen=0\n[tun1]\nen=1\n[tcpip]\ndh=1\n");
    profile.close();
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(bin + QStringLiteral("/tavrel-devsim"),
              {QStringLiteral("--profile"), profile.fileName(), QStringLiteral("--port"),
               QStringLiteral("ttyTAVREL0")});
    QByteArray said;
    if (!waitFor(
            [&] {
                sim.waitForReadyRead(100);
                said += sim.readAllStandardOutput();
                return said.contains("ready") || sim.state() != QProcess::Running;
            },
            10000) ||
        sim.state() != QProcess::Running) {
        qWarning("simulator: %s", said.constData());
        return 2;
    }

    TavrelCMLoader loader;
    if (loader.Load() != 1)
        return 3;
    auto *comm = new TavrelDeviceComm;
    comm->setLoader(&loader);
    comm->startWorker();

    TunnelSettings existing;
    existing.description = QStringLiteral("Kasa 1");
    existing.data_com = QStringLiteral("COM5");
    QVector<TunnelSettings> configurations{existing};
    TunnelListModel model(&configurations);
    SampleContext context;
    TunnelWizard::Services s;
    s.comm = comm;
    s.configurations = &configurations;
    s.model = &model;
    s.app = &context;

    bool ok = true;
    {
        // The simple path up to the channels of the found device.
        TunnelWizard w(s);
        w.resize(720, 520);
        w.show();
        forward(&w);
        ok &= grab(&w, out + QStringLiteral("/wizard-port.png"));
        forward(&w);
        auto *status = w.currentPage()->findChild<QLabel *>(QStringLiteral("status"));
        waitFor([&] { return status && status->text().startsWith(QStringLiteral("Sprawdzam")); }, 5000);
        ok &= grab(&w, out + QStringLiteral("/wizard-detecting.png"));
        ok &= waitFor([&] { return w.currentId() == TunnelWizard::PageTunneling; }, 20000);
        w.currentPage()->findChild<QCheckBox *>(QStringLiteral("tun_mon_set"))->setChecked(true);
        w.currentPage()->findChild<QCheckBox *>(QStringLiteral("tun_com2_set"))->setChecked(true);
        ok &= grab(&w, out + QStringLiteral("/wizard-found.png"));
        w.done(QDialog::Rejected);
    }
    waitFor([&] { return !comm->isBusy(); }, 5000);
    {
        // The expert path: the channel page, then through the set-up to the final page.
        TunnelWizard w(s);
        w.resize(720, 520);
        w.show();
        w.currentPage()->findChild<QCheckBox *>(QStringLiteral("expertmode"))->setChecked(true);
        forward(&w);
        forward(&w);
        ok &= waitFor([&] { return w.currentId() == TunnelWizard::PageViewConf; }, 20000);
        w.currentPage()->findChild<QCheckBox *>(QStringLiteral("box_mon"))->setChecked(true);
        ok &= grab(&w, out + QStringLiteral("/wizard-channels.png"));
        forward(&w);
        forward(&w);
        w.currentPage()
            ->findChild<QLineEdit *>(QStringLiteral("tunnel_name"))
            ->setText(QStringLiteral("Sklep"));
        forward(&w);
        forward(&w);
        ok &= waitFor([&] { return w.currentId() == TunnelWizard::PageLastStep; }, 60000);
        ok &= grab(&w, out + QStringLiteral("/wizard-final.png"));
        w.done(QDialog::Rejected);
    }
    comm->stopWorker();
    delete comm;
    sim.terminate();
    sim.waitForFinished(5000);
    return ok ? 0 : 4;
}
