// The port removal dialog against the real port driver (a private driver
// in a temporary folder): its rows and texts, the confirmation, and the
// removal loop going on past a port that cannot be deleted.
#include "ports/vspinterface.h"
#include "tests/support/logcapture.h"
#include "tests/support/testenv.h"
#include "ui/portremove.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

class TestPortRemove : public QObject
{
    Q_OBJECT

    static QStringList rows(QListWidget *list)
    {
        QStringList texts;
        for (int i = 0; i < list->count(); ++i)
            texts << list->item(i)->text();
        return texts;
    }

private slots:
    void removesTheSelectedPairsPastFailures()
    {
        TestEnv env;
        qputenv("VELMORA_VSPDCTL", QFile::encodeName(TestEnv::binary(QStringLiteral("libvspdctl.so"))));
        VSPInterface vsp;
        QVERIFY(vsp.initLibrary()); // starts the private driver
        QVERIFY(vsp.createPort(QString(), "COM5", 0, false));
        QVERIFY(vsp.createPort("COM9", "COM8", 0, false));
        QVERIFY(vsp.createPort(QString(), "COM6", 0, false));
        LogCapture log;

        PortRemove dialog(&vsp);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Usuwanie portów"));
        auto *list = dialog.findChild<QListWidget *>();
        auto *remove = dialog.findChild<QPushButton *>("pushButton");
        auto *close = dialog.findChild<QPushButton *>("pushButton_2");
        QVERIFY(list && remove && close);
        QVERIFY(remove->text() == "Usuń" && close->text() == "Zamknij");
        QCOMPARE(dialog.findChild<QLabel *>()->text(),
                 QStringLiteral("Proszę wybrać porty szeregowe do usunięcia z systemu"));
        QCOMPARE(list->selectionMode(), QAbstractItemView::ExtendedSelection);
        QStringList shown = rows(list);
        shown.sort();
        QCOMPARE(shown, (QStringList{"COM5", "COM6", "COM8 (COM8=>COM9)"}));
        QCOMPARE(PortRemove::rowText({0, "COM7", 1, QString()}), QStringLiteral("COM7 (COM7=>)"));
        QCOMPARE(PortRemove::rowPortName("COM7 (COM7=>)"), QStringLiteral("COM7"));

        // Nothing selected: said, nothing deleted.
        QTest::mouseClick(remove, Qt::LeftButton);
        QVERIFY(log.text().contains("[BOX] warning \"Ostrzeżenie\": Nie wybrano żadnego portu do usunięcia"));

        // The question's default is No: nothing deleted.
        for (int i = 0; i < list->count(); ++i)
            list->item(i)->setSelected(list->item(i)->text() != QLatin1String("COM6"));
        QTest::mouseClick(remove, Qt::LeftButton);
        const QString asked = QStringLiteral("[BOX] question \"Pytanie\": Czy usunąć porty: %1")
                                  .arg(rows(list).filter(QRegularExpression("^COM[58]")).join(", "));
        QVERIFY2(log.text().contains(asked), qPrintable(log.text()));
        QVERIFY(vsp.updatePortList());
        QCOMPARE(vsp.portList().size(), 3);

        // COM5 goes behind the dialog's back: its row fails, COM8's is still deleted.
        QVERIFY(vsp.deletePort("COM5"));
        QCOMPARE(dialog.removeSelectedPorts(), 1);
        QVERIFY(log.text().contains("[BOX] warning \"Ostrzeżenie\": Nie można usunąć portu: COM5"));
        QVERIFY(!log.text().contains("Nie można usunąć portu: COM8"));
        QCOMPARE(rows(list), QStringList{"COM6"}); // refilled from the driver
        QVERIFY(vsp.updatePortList());
        QCOMPARE(vsp.portList().size(), 1);
        QVERIFY(!QFileInfo::exists(env.portsDir() + "/COM8") && QFileInfo::exists(env.portsDir() + "/COM6"));

        dialog.show();
        QTest::mouseClick(close, Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(!dialog.isVisible());
        QVERIFY(vsp.deletePort("COM6"));
        qunsetenv("VELMORA_VSPDCTL");
    }
};

QTEST_MAIN(TestPortRemove)
#include "tst_portremove.moc"
