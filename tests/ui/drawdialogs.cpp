// Renders the configuration editor dialogs, filled with a realistic
// configuration, to PNG files (for the documentation):
//   QT_QPA_PLATFORM=offscreen drawdialogs docs/images
#include "config/appsettings.h"
#include "config/tunnelsettings.h"
#include "tests/support/samplecontext.h"
#include "ui/aboutdialog.h"
#include "ui/appsettingsdialog.h"
#include "ui/editserialsettings.h"
#include "ui/editsingletunnel.h"
#include "ui/edittunnel.h"
#include "ui/mainwindow.h"
#include "ui/selectlocalip.h"
#include "ui/tunnellistmodel.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPainter>
#include <QTableWidget>

static bool save(QWidget *w, const QString &path)
{
    w->adjustSize();
    w->show();
    QApplication::processEvents();
    const bool ok = w->grab().save(path);
    w->hide();
    if (!ok)
        qWarning("cannot write %s", qPrintable(path));
    return ok;
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral("1.4.2.0"));
    QFile style(QStringLiteral(VELMORA_SOURCE_DIR "/app/resources/qss/appstyle.qss"));
    if (style.open(QIODevice::ReadOnly))
        app.setStyleSheet(QString::fromUtf8(style.readAll()));
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    bool ok = true;

    TunnelSettings t;
    t.description = QStringLiteral("Kasa 1 - sklep Rynek 5");
    t.data_com = QStringLiteral("COM10");
    t.data_settings = QStringLiteral("115200,8,N,1,H/NO/NS");
    t.data_ip = QStringLiteral("192.168.1.50:6666");
    t.tm_com = QStringLiteral("COM12");
    t.tm_settings = QStringLiteral("9600,8,N,1,N/NO/NS");
    t.tm_ip = QStringLiteral("192.168.1.50:6667");
    t.proxy_com = {QStringLiteral("COM11")};
    t.proxy_settings = {QStringLiteral("9600,8,N,1,N/NO/NS")};
    t.proxy_data = {QStringLiteral("192.168.1.50:1100")};
    t.proxy_ctrl = {QStringLiteral("192.168.1.50:1101")};
    t.autostart = 1;
    t.autorestart = 1;
    t.restart_limit = 3;
    AppSettings settings;
    {
        EditTunnel dlg(nullptr, nullptr, &settings);
        dlg.setData(t);
        ok &= save(&dlg, dir + QStringLiteral("/edittunnel-ip.png"));
    }
    {
        TunnelSettings p = t;
        p.mode = TunnelSettings::PPP;
        p.tunnel_com = QStringLiteral("ttyUSB0");
        p.tunnel_settings = QStringLiteral("115200,8,N,1,H");
        p.tunnel_localip = QStringLiteral("10.0.0.1");
        p.tunnel_remoteip = QStringLiteral("10.0.0.2");
        p.data_ip = QStringLiteral("10.0.0.2:6666");
        p.tm_com.clear();
        p.proxy_com.clear();
        p.proxy_settings.clear();
        p.proxy_data.clear();
        p.proxy_ctrl.clear();
        EditTunnel dlg(nullptr, nullptr, &settings);
        dlg.setData(p);
        // Shows the address field's colouring while an address is half typed.
        dlg.findChild<QLineEdit *>(QStringLiteral("editLocalIP"))->setText(QStringLiteral("10.0.0"));
        ok &= save(&dlg, dir + QStringLiteral("/edittunnel-ppp.png"));
    }
    {
        EditSingleTunnel dlg({QStringLiteral("COM11"), QStringLiteral("COM13")}, nullptr);
        dlg.setData(QStringLiteral("1100"), QStringLiteral("1101"), QStringLiteral("COM11"),
                    QStringLiteral("9600,8,N,1,N/NO/NS"));
        ok &= save(&dlg, dir + QStringLiteral("/editsingletunnel.png"));
    }
    {
        EditSerialSettings dlg;
        dlg.setSettings(QStringLiteral("115200,8,N,1,H/NO/NS"), false);
        ok &= save(&dlg, dir + QStringLiteral("/editserialsettings.png"));
    }
    {
        SelectLocalIP dlg(nullptr);
        using Row = SelectLocalIP::Row;
        dlg.setRows({Row{QHostAddress(QStringLiteral("192.168.1.17")), QStringLiteral("enp3s0")},
                     Row{QHostAddress(QStringLiteral("10.8.0.6")), QStringLiteral("tun0")}});
        dlg.findChild<QTableWidget *>(QStringLiteral("tableIP"))->selectRow(0);
        ok &= save(&dlg, dir + QStringLiteral("/selectlocalip.png"));
    }
    {
        AppSettingsDialog dlg;
        AppSettings s;
        s.task_delay = 30;
        s.start_with_system = true;
        dlg.setSettings(s);
        ok &= save(&dlg, dir + QStringLiteral("/appsettingsdialog.png"));
    }
    {
        AboutDialog dlg;
        ok &= save(&dlg, dir + QStringLiteral("/aboutdialog.png"));
    }
    {
        // The main window with a running shop till, a stopped PPP printer and one that gave up.
        QVector<TunnelSettings> all;
        TunnelSettings running = t;
        running.uuid = QUuid::createUuid();
        running.state = TunnelSettings::Running;
        running.proxy_com << QStringLiteral("COM13");
        running.proxy_settings << QStringLiteral("9600,8,N,1,N/NO/NS");
        running.proxy_data << QStringLiteral("192.168.1.50:1102");
        running.proxy_ctrl << QStringLiteral("192.168.1.50:1103");
        all << running;
        TunnelSettings ppp;
        ppp.uuid = QUuid::createUuid();
        ppp.mode = TunnelSettings::PPP;
        ppp.description = QStringLiteral("Drukarka fiskalna - zaplecze (PPP)");
        ppp.tunnel_com = QStringLiteral("ttyUSB0");
        ppp.tunnel_localip = QStringLiteral("10.0.7.1");
        ppp.tunnel_remoteip = QStringLiteral("10.0.7.2");
        ppp.data_com = QStringLiteral("COM20");
        ppp.data_ip = QStringLiteral("10.0.7.2:6666");
        ppp.state = TunnelSettings::Stopped;
        all << ppp;
        TunnelSettings failed;
        failed.uuid = QUuid::createUuid();
        failed.description = QStringLiteral("Kasa 2 - sklep Rynek 5");
        failed.data_com = QStringLiteral("COM30");
        failed.data_ip = QStringLiteral("192.168.1.60:6666");
        failed.autorestart = 1;
        failed.restart_limit = 2;
        failed.restart_delay = 10;
        failed.state = TunnelSettings::StoppedError;
        failed.last_error = QStringLiteral(
            "Błąd połączenia z 192.168.1.60:6666 - Connection refused\nPrzekroczony limit restartów.");
        all << failed;
        SampleContext context(&all);
        MainWindow window(&context);
        window.setConfigurations(&all, &settings);
        window.resize(720, 600);
        window.setRestartLock(true);
        window.cfgWarning(true);
        window.show();
        QApplication::processEvents();
        ok &= window.grab().save(dir + QStringLiteral("/mainwindow.png"));

        // The context menu over the running configuration, drawn where it opens.
        QListView *list = window.listView();
        const QPoint at = list->visualRect(window.model()->index(0)).center();
        window.customContextMenuRequested(at);
        QApplication::processEvents();
        QPixmap shot = window.grab();
        QPainter painter(&shot);
        painter.drawPixmap(list->viewport()->mapTo(&window, at), window.contextMenu()->grab());
        painter.end();
        window.contextMenu()->hide();
        ok &= shot.save(dir + QStringLiteral("/mainwindow-menu.png"));
    }
    return ok ? 0 : 1;
}
