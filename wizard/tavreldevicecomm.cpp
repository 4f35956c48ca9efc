#include "wizard/tavreldevicecomm.h"

TavrelDeviceComm::TavrelDeviceComm(QObject *parent) : QObject(parent) {}
TavrelDeviceComm::~TavrelDeviceComm() = default;
void TavrelDeviceComm::setPortServices(VSPInterface *vsp, SerialPortManager *ports)
{
    m_vsp = vsp;
    m_ports = ports;
}
void TavrelDeviceComm::startWorker() {}
void TavrelDeviceComm::stopWorker() {}
bool TavrelDeviceComm::startDetect(const QString &, const QString &, bool)
{
    return false;
}
bool TavrelDeviceComm::startConfig(const TavrelWriteSettings &)
{
    return false;
}
void TavrelDeviceComm::cancelCurrent()
{
    m_cancelRequested = true;
}
void TavrelDeviceComm::requestClose() {}
TavrelDeviceComm::DeviceData TavrelDeviceComm::deviceData() const
{
    return {};
}
QString TavrelDeviceComm::currentConfig() const
{
    return {};
}
QString TavrelDeviceComm::deviceComParams(const QMap<QString, QString> &)
{
    return {};
}
int TavrelDeviceComm::linkType(const DeviceData &)
{
    return -1;
}
QStringList TavrelDeviceComm::deviceParamsFromSettings(const QString &)
{
    return {};
}
QStringList TavrelDeviceComm::portCombinations(const QString &)
{
    return {};
}
QList<RequestEntry> TavrelDeviceComm::readoutRequests()
{
    return {};
}
bool TavrelDeviceComm::buildWriteData(const DeviceData &, const TavrelWriteSettings &, WriteData *, QString *)
{
    return false;
}
void TavrelDeviceComm::machineDetection() {}
void TavrelDeviceComm::machineConfig() {}
void TavrelDeviceComm::closeDevice() {}
void TavrelDeviceComm::finalizeWorkAndCleanup() {}
void TavrelDeviceComm::deviceEvent(int) {}
