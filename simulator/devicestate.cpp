#include "simulator/devicestate.h"

#include <QHash>
#include <QHostAddress>
#include <QSettings>

namespace
{

const int kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

bool isNumberIn(const QString &value, qlonglong low, qlonglong high)
{
    bool ok = false;
    const qlonglong n = value.toLongLong(&ok);
    return ok && n >= low && n <= high;
}

bool isFlag(const QString &value)
{
    return value == QLatin1String("0") || value == QLatin1String("1") || value == QLatin1String("T") ||
           value == QLatin1String("F");
}

// QSettings splits a value with commas into a list; a profile value is taken whole.
QString profileValue(const QSettings &ini, const QString &key)
{
    const QVariant v = ini.value(key);
    if (v.type() == QVariant::StringList)
        return v.toStringList().join(QLatin1Char(','));
    return v.toString().trimmed();
}

} // namespace

QString LineSettings::text() const
{
    return QStringLiteral("%1,%2,%3,%4,%5")
        .arg(baud)
        .arg(dataBits)
        .arg(QLatin1Char(parity))
        .arg(stopBits)
        .arg(QLatin1Char(flow));
}

DeviceState::DeviceState()
{
    const QMap<QString, QString> com{{"sp", "115200"}, {"da", "8"}, {"pa", "0"}, {"st", "1"}, {"fl", "1"}};
    m_sections["com1"] = com;
    m_sections["com2"] = com;
    m_sections["pc"] = {{"id", "1"}, {"no", "1"}};
    m_sections["trlog"] = {{"id", "0"}, {"no", "0"}};
    m_sections["tcpip"] = {{"id", "0"}, {"no", "0"}, {"dh", "1"}, {"ip", ""}, {"ge", ""}, {"ma", ""}};
    m_sections["tun0"] = {{"en", "0"}, {"da", "1100"}, {"di", "1101"}};
    m_sections["tun1"] = {{"en", "0"}, {"da", "1102"}, {"di", "1103"}};
    m_sections["sid"] = {{"nm", "Tavrel Simulator"}, {"sn", "TVS00000001"}, {"fw", "1.0"}};
    m_restartAfter = QStringList{QStringLiteral("tcpipcfgset")};
}

bool DeviceState::loadProfile(const QString &path, QString *error)
{
    QSettings ini(path, QSettings::IniFormat);
    ini.setIniCodec("UTF-8");
    if (ini.status() != QSettings::NoError) {
        *error = QStringLiteral("cannot read the profile %1").arg(path);
        return false;
    }
    const QString name = profileValue(ini, "device/name");
    if (!name.isEmpty())
        m_sections["sid"]["nm"] = name;
    const QString port = profileValue(ini, "device/port");
    if (!port.isEmpty())
        m_portName = port;
    const QString link = profileValue(ini, "device/link").toUpper();
    if (link.isEmpty() || link == QLatin1String("COM1")) {
        m_link = LinkKind::Com1;
        m_sections["pc"] = {{"id", "1"}, {"no", "1"}};
    } else if (link == QLatin1String("COM2")) {
        m_link = LinkKind::Com2;
        m_sections["pc"] = {{"id", "1"}, {"no", "2"}};
    } else if (link == QLatin1String("USB")) {
        m_link = LinkKind::Usb;
        m_sections["pc"] = {{"id", "2"}, {"no", "0"}};
    } else {
        *error = QStringLiteral("device/link must be COM1, COM2 or USB, not %1").arg(link);
        return false;
    }
    bool ok = true;
    const auto number = [&](const char *key, int fallback) {
        const QString v = profileValue(ini, QLatin1String(key));
        if (v.isEmpty())
            return fallback;
        bool good = false;
        const int n = v.toInt(&good);
        if (!good || n < 0) {
            *error = QStringLiteral("%1 must be a number, not %2").arg(QLatin1String(key), v);
            ok = false;
        }
        return n;
    };
    m_answerDelayMs = number("device/answer_delay_ms", m_answerDelayMs);
    m_restartMs = number("device/restart_ms", m_restartMs);
    m_transactionIntervalMs = number("device/transaction_interval_ms", m_transactionIntervalMs);
    m_ds = number("device/ds", 0);
    m_paceLine = number("device/pace_line", 0) != 0;
    if (!ok)
        return false;
    if (ini.contains("device/restart_after"))
        m_restartAfter =
            profileValue(ini, "device/restart_after").split(QLatin1Char(','), Qt::SkipEmptyParts);
    // Every other section sets the device's values by their protocol names, checked like a set command.
    for (auto it = m_sections.begin(); it != m_sections.end(); ++it) {
        ini.beginGroup(it.key());
        const QStringList keys = ini.childKeys();
        ini.endGroup();
        for (const QString &key : keys) {
            const QString v = profileValue(ini, it.key() + QLatin1Char('/') + key);
            const QString bad = checkValue(it.key(), key, v);
            if (!bad.isEmpty()) {
                *error = QStringLiteral("[%1] %2: %3").arg(it.key(), key, bad);
                return false;
            }
            it.value()[key] = v;
        }
    }
    return true;
}

int DeviceState::linkComNumber() const
{
    switch (m_link) {
    case LinkKind::Com1:
        return 1;
    case LinkKind::Com2:
        return 2;
    case LinkKind::Usb:
        break;
    }
    return 0;
}

LineSettings DeviceState::comSettings(int no) const
{
    LineSettings s;
    if (no != 1 && no != 2)
        return s;
    const QMap<QString, QString> &com = m_sections[QStringLiteral("com%1").arg(no)];
    s.baud = com.value("sp").toInt();
    s.dataBits = com.value("da").toInt();
    const int pa = com.value("pa").toInt();
    s.parity = pa == 1 ? 'O' : pa == 2 ? 'E' : 'N';
    s.stopBits = com.value("st").toInt();
    const int fl = com.value("fl").toInt();
    s.flow = (fl == 1 || fl == 2) ? 'R' : fl == 3 ? 'S' : 'N';
    return s;
}

QString DeviceState::value(const QString &section, const QString &name) const
{
    return m_sections.value(section).value(name);
}

bool DeviceState::setValue(const QString &section, const QString &name, const QString &value)
{
    if (!m_sections.contains(section))
        return false;
    m_sections[section][name] = value;
    return true;
}

void DeviceState::scriptDeviceState(int ds, int count)
{
    if (count <= 0) {
        m_ds = ds;
        m_scriptedCount = 0;
    } else {
        m_scriptedDs = ds;
        m_scriptedCount = count;
    }
}

int DeviceState::takeDeviceState()
{
    if (m_scriptedCount > 0) {
        --m_scriptedCount;
        return m_scriptedDs;
    }
    return m_ds;
}

bool DeviceState::applyPendingPcInterface()
{
    const bool pending = !m_pendingPc.isEmpty();
    if (pending)
        m_sections["pc"] = m_pendingPc;
    else
        m_sections["pc"] = {{"id", "4"}, {"no", "6666"}};
    m_pendingPc.clear();
    return pending;
}

QString DeviceState::checkValue(const QString &section, const QString &name, const QString &value)
{
    const auto range = [&](qlonglong low, qlonglong high) {
        return isNumberIn(value, low, high) ? QString() : QStringLiteral("%1..%2").arg(low).arg(high);
    };
    if (section.startsWith(QLatin1String("com"))) {
        if (name == QLatin1String("sp")) {
            for (int b : kBauds)
                if (value == QString::number(b))
                    return QString();
            return QStringLiteral("a baud rate of 1200..115200");
        }
        if (name == QLatin1String("da"))
            return range(7, 8);
        if (name == QLatin1String("pa"))
            return range(0, 2);
        if (name == QLatin1String("st"))
            return range(1, 2);
        if (name == QLatin1String("fl"))
            return range(0, 3);
        return QStringLiteral("unknown field");
    }
    if (section == QLatin1String("pc") || section == QLatin1String("trlog")) {
        if (name == QLatin1String("id"))
            return range(0, 4);
        if (name == QLatin1String("no"))
            return range(0, 65535);
        return QStringLiteral("unknown field");
    }
    if (section == QLatin1String("tcpip")) {
        if (name == QLatin1String("id"))
            return range(0, 9);
        if (name == QLatin1String("no"))
            return range(0, 65535);
        if (name == QLatin1String("dh"))
            return isFlag(value) ? QString() : QStringLiteral("0, 1, T or F");
        if (name == QLatin1String("ip") || name == QLatin1String("ge") || name == QLatin1String("ma")) {
            if (value.isEmpty())
                return QString();
            QHostAddress a;
            return a.setAddress(value) && a.protocol() == QAbstractSocket::IPv4Protocol
                       ? QString()
                       : QStringLiteral("a dotted IPv4 address");
        }
        return QStringLiteral("unknown field");
    }
    if (section.startsWith(QLatin1String("tun"))) {
        if (name == QLatin1String("en"))
            return isFlag(value) ? QString() : QStringLiteral("0, 1, T or F");
        if (name == QLatin1String("da") || name == QLatin1String("di"))
            return range(1, 65535);
        return QStringLiteral("unknown field");
    }
    if (section == QLatin1String("sid"))
        return value.isEmpty() ? QStringLiteral("a text") : QString();
    return QStringLiteral("unknown section");
}

DeviceState::Answer DeviceState::execute(const QString &command, const ValuePairs &params)
{
    Answer a;
    if (command == QLatin1String("!sdev")) {
        a.values.append({QStringLiteral("ds"), QString::number(takeDeviceState())});
    } else if (command == QLatin1String("sid")) {
        a = sectionGet(QStringLiteral("sid"));
    } else if (command == QLatin1String("comcfgget")) {
        a = comGet(params);
    } else if (command == QLatin1String("comcfgset")) {
        a = comSet(params);
    } else if (command == QLatin1String("pccfgget")) {
        a = sectionGet(QStringLiteral("pc"));
    } else if (command == QLatin1String("pccfgset")) {
        a = pcSet(params);
    } else if (command == QLatin1String("trlogget")) {
        a = sectionGet(QStringLiteral("trlog"));
    } else if (command == QLatin1String("trlogset")) {
        a = sectionSet(QStringLiteral("trlog"), params, {"id", "no"});
    } else if (command == QLatin1String("tcpipcfgget")) {
        a = sectionGet(QStringLiteral("tcpip"));
    } else if (command == QLatin1String("tcpipcfgset")) {
        a = sectionSet(QStringLiteral("tcpip"), params, {"id", "no", "dh", "ip", "ge", "ma"});
    } else if (command == QLatin1String("tunnelget")) {
        a = tunnelGet(params);
    } else if (command == QLatin1String("tunnelset")) {
        a = tunnelSet(params);
    } else {
        a.status = UnknownCommand;
        a.detail = command;
        return a;
    }
    if (a.status == Ok && m_restartAfter.contains(command))
        a.effects |= RestartNeeded;
    return a;
}

DeviceState::Answer DeviceState::sectionGet(const QString &section) const
{
    // Answers name their fields in the order the protocol document gives;
    // a field it does not list (none today) follows in name order.
    static const QHash<QString, QStringList> kOrder{
        {QStringLiteral("sid"), {"nm", "sn", "fw"}},
        {QStringLiteral("com"), {"sp", "da", "pa", "st", "fl"}},
        {QStringLiteral("pc"), {"id", "no"}},
        {QStringLiteral("trlog"), {"id", "no"}},
        {QStringLiteral("tcpip"), {"id", "no", "dh", "ip", "ma", "ge"}},
        {QStringLiteral("tun"), {"en", "da", "di"}},
    };
    Answer a;
    const QMap<QString, QString> &values = m_sections[section];
    QString kind = section;
    while (!kind.isEmpty() && kind.back().isDigit())
        kind.chop(1);
    const QStringList order = kOrder.value(kind);
    for (const QString &name : order)
        if (values.contains(name))
            a.values.append({name, values.value(name)});
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        if (!order.contains(it.key()))
            a.values.append({it.key(), it.value()});
    return a;
}

// Checks every parameter first, so that a refused request changes nothing.
DeviceState::Answer DeviceState::sectionSet(const QString &section, const ValuePairs &params,
                                            const QStringList &allowed)
{
    Answer a;
    if (params.isEmpty()) {
        a.status = MissingParameter;
        a.detail = section;
        return a;
    }
    for (const auto &p : params) {
        if (!allowed.contains(p.first)) {
            a.status = BadParameter;
            a.detail = p.first;
            return a;
        }
        const QString bad = checkValue(section, p.first, p.second);
        if (!bad.isEmpty()) {
            a.status = BadParameter;
            a.detail = p.first + QStringLiteral(": ") + bad;
            return a;
        }
    }
    for (const auto &p : params) {
        // Flags are taken as 0/1 or F/T and kept (and answered) as 0/1.
        QString v = p.second;
        if (p.first == QLatin1String("en") || p.first == QLatin1String("dh"))
            v = v == QLatin1String("T")   ? QStringLiteral("1")
                : v == QLatin1String("F") ? QStringLiteral("0")
                                          : v;
        m_sections[section][p.first] = v;
    }
    return a;
}

namespace
{

QString paramValue(const ValuePairs &params, const QString &name, bool *found)
{
    for (const auto &p : params)
        if (p.first == name) {
            *found = true;
            return p.second;
        }
    *found = false;
    return QString();
}

ValuePairs without(const ValuePairs &params, const QString &name)
{
    ValuePairs out;
    for (const auto &p : params)
        if (p.first != name)
            out.append(p);
    return out;
}

} // namespace

DeviceState::Answer DeviceState::comGet(const ValuePairs &params) const
{
    bool found = false;
    const QString no = paramValue(params, QStringLiteral("no"), &found);
    if (!found) {
        Answer a;
        a.status = MissingParameter;
        a.detail = QStringLiteral("no");
        return a;
    }
    if (no != QLatin1String("1") && no != QLatin1String("2")) {
        Answer a;
        a.status = BadParameter;
        a.detail = QStringLiteral("no: 1..2");
        return a;
    }
    Answer a = sectionGet(QStringLiteral("com") + no);
    a.values.prepend({QStringLiteral("no"), no});
    return a;
}

DeviceState::Answer DeviceState::comSet(const ValuePairs &params)
{
    bool found = false;
    const QString no = paramValue(params, QStringLiteral("no"), &found);
    Answer a;
    if (!found) {
        a.status = MissingParameter;
        a.detail = QStringLiteral("no");
        return a;
    }
    if (no != QLatin1String("1") && no != QLatin1String("2")) {
        a.status = BadParameter;
        a.detail = QStringLiteral("no: 1..2");
        return a;
    }
    const LineSettings before = comSettings(no.toInt());
    a = sectionSet(QStringLiteral("com") + no, without(params, QStringLiteral("no")),
                   {"sp", "da", "pa", "st", "fl"});
    if (a.status == Ok && no.toInt() == linkComNumber() && comSettings(no.toInt()) != before)
        a.effects |= LinkSettingsChanged;
    return a;
}

DeviceState::Answer DeviceState::pcSet(const ValuePairs &params)
{
    // The device takes the new PC interface only through its menu; until then it stays as it was.
    QMap<QString, QString> saved = m_sections["pc"];
    Answer a = sectionSet(QStringLiteral("pc"), params, {"id", "no"});
    if (a.status == Ok) {
        m_pendingPc = m_sections["pc"];
        if (m_pendingPc.value("id") == QLatin1String("2"))
            m_pendingPc["no"] = QStringLiteral("0"); // a USB link has no port number
        m_sections["pc"] = saved;
        a.effects |= PcInterfacePending;
    }
    return a;
}

DeviceState::Answer DeviceState::tunnelGet(const ValuePairs &params) const
{
    bool found = false;
    const QString sp = paramValue(params, QStringLiteral("sp"), &found);
    Answer a;
    if (!found) {
        a.status = MissingParameter;
        a.detail = QStringLiteral("sp");
        return a;
    }
    if (sp != QLatin1String("0") && sp != QLatin1String("1")) {
        a.status = BadParameter;
        a.detail = QStringLiteral("sp: 0..1");
        return a;
    }
    a = sectionGet(QStringLiteral("tun") + sp);
    a.values.prepend({QStringLiteral("sp"), sp});
    return a;
}

DeviceState::Answer DeviceState::tunnelSet(const ValuePairs &params)
{
    bool found = false;
    const QString sp = paramValue(params, QStringLiteral("sp"), &found);
    Answer a;
    if (!found) {
        a.status = MissingParameter;
        a.detail = QStringLiteral("sp");
        return a;
    }
    if (sp != QLatin1String("0") && sp != QLatin1String("1")) {
        a.status = BadParameter;
        a.detail = QStringLiteral("sp: 0..1");
        return a;
    }
    return sectionSet(QStringLiteral("tun") + sp, without(params, QStringLiteral("sp")), {"en", "da", "di"});
}
