#include "wizard/wizardpagecomm.h"

#include "ports/serialportmanager.h"
#include "ports/vspinterface.h"
#include "wizard/tunnelwizard.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

WizardPageComm::WizardPageComm(QWidget *parent) : QWizardPage(parent)
{
    setTitle(tr("Parametry komunikacji"));
    setSubTitle(tr("Wybierz port szeregowy, do którego podłączono urządzenie, i parametry transmisji."));

    m_port = new QComboBox(this);
    m_port->setObjectName(QStringLiteral("comm_port"));
    m_portName = new QLineEdit(this);
    m_portName->hide();
    auto *refresh = new QPushButton(tr("Odśwież"), this);
    refresh->setObjectName(QStringLiteral("refresh"));

    m_baud = new QComboBox(this);
    m_baud->setObjectName(QStringLiteral("comm_baud"));
    m_baud->addItems({QStringLiteral("115200"), QStringLiteral("57600"), QStringLiteral("38400"),
                      QStringLiteral("19200"), QStringLiteral("9600"), QStringLiteral("4800"),
                      QStringLiteral("2400"), QStringLiteral("1200")});
    m_bits = new QComboBox(this);
    m_bits->setObjectName(QStringLiteral("comm_bits"));
    m_bits->addItems({QStringLiteral("8"), QStringLiteral("7")});
    m_parity = new QComboBox(this);
    m_parity->setObjectName(QStringLiteral("comm_parity"));
    m_parity->addItems({tr("Brak (N)"), tr("Parzyste (E)"), tr("Nieparzyste (O)")});
    m_stop = new QComboBox(this);
    m_stop->setObjectName(QStringLiteral("comm_stop"));
    m_stop->addItems({QStringLiteral("1"), QStringLiteral("2")});
    m_flow = new QComboBox(this);
    m_flow->setObjectName(QStringLiteral("comm_flow"));
    m_flow->addItems({tr("Sprzętowa (RTS/CTS)"), tr("Programowa (Xon/Xoff)"), tr("Brak")});

    m_auto = new QCheckBox(tr("Wyszukaj parametry komunikacji automatycznie"), this);
    m_auto->setObjectName(QStringLiteral("comm_auto"));
    m_fullAuto = new QCheckBox(tr("Wyszukiwanie automatyczne"), this);
    m_fullAuto->setObjectName(QStringLiteral("comm_fullauto"));
    m_bt = new QCheckBox(tr("Przeszukaj także połączenia Bluetooth"), this);
    m_bt->setObjectName(QStringLiteral("comm_btsearch"));

    auto *portRow = new QHBoxLayout;
    portRow->addWidget(m_port, 1);
    portRow->addWidget(refresh);
    auto *form = new QFormLayout;
    form->addRow(tr("Port szeregowy:"), portRow);
    form->addRow(tr("Prędkość:"), m_baud);
    form->addRow(tr("Bity danych:"), m_bits);
    form->addRow(tr("Parzystość:"), m_parity);
    form->addRow(tr("Bity stopu:"), m_stop);
    form->addRow(tr("Kontrola przepływu:"), m_flow);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_auto);
    layout->addWidget(m_fullAuto);
    layout->addWidget(m_bt);
    layout->addStretch();

    registerField(QStringLiteral("comm_port"), m_port, "currentText");
    registerField(QStringLiteral("comm_portname"), m_portName);
    registerField(QStringLiteral("comm_baud"), m_baud, "currentText");
    registerField(QStringLiteral("comm_bits"), m_bits, "currentText");
    registerField(QStringLiteral("comm_parity"), m_parity, "currentText");
    registerField(QStringLiteral("comm_stop"), m_stop, "currentText");
    registerField(QStringLiteral("comm_flow"), m_flow, "currentText");
    registerField(QStringLiteral("comm_auto"), m_auto);
    registerField(QStringLiteral("comm_fullauto"), m_fullAuto);
    registerField(QStringLiteral("comm_btsearch"), m_bt);

    connect(refresh, &QPushButton::clicked, this, &WizardPageComm::refreshPorts);
    connect(m_port, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] {
        m_portName->setText(SerialPortManager::entryPortName(m_port->currentText()));
        emit completeChanged();
    });
    connect(m_auto, &QCheckBox::toggled, this, &WizardPageComm::updateEnabled);
    connect(m_fullAuto, &QCheckBox::toggled, this, &WizardPageComm::updateEnabled);
    updateEnabled();
}

void WizardPageComm::initializePage()
{
    refreshPorts();
}

void WizardPageComm::refreshPorts()
{
    auto *w = qobject_cast<TunnelWizard *>(wizard());
    const QString previous = m_port->currentText();
    SerialPortManager local;
    SerialPortManager *ports = (w && w->services().ports) ? w->services().ports : &local;
    QVector<VSPPortPair> pairs;
    if (w && w->services().vsp) {
        w->services().vsp->updatePortList();
        pairs = w->services().vsp->portList();
    }
    QStringList list = ports->serialPorts(true, false);
    ports->filterVirtualPorts(list, pairs, false);
    ports->removeCom0comPorts(list);

    m_port->blockSignals(true);
    m_port->clear();
    m_port->addItems(list);
    int current = -1;
    for (int i = 0; i < list.size(); ++i)
        if (list.at(i).toUpper().contains(QLatin1String("TAVREL"))) {
            current = i;
            break;
        }
    if (current < 0)
        current = list.indexOf(previous);
    if (current < 0 && !list.isEmpty())
        current = 0;
    m_port->setCurrentIndex(current);
    m_port->blockSignals(false);
    m_portName->setText(SerialPortManager::entryPortName(m_port->currentText()));
    emit completeChanged();
}

bool WizardPageComm::isComplete() const
{
    return m_port->currentIndex() >= 0;
}

void WizardPageComm::updateEnabled()
{
    const bool full = m_fullAuto->isChecked();
    m_port->setEnabled(!full);
    m_auto->setEnabled(!full);
    const bool params = !(full || m_auto->isChecked());
    for (QComboBox *c : {m_baud, m_bits, m_parity, m_stop, m_flow})
        c->setEnabled(params);
}
