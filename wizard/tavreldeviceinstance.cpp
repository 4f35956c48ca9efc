#include "wizard/tavreldeviceinstance.h"

#include "log/debug_class.h"

TavrelDeviceInstance::~TavrelDeviceInstance()
{
    delete m_request;
}

void TavrelDeviceInstance::setRequest(TavrelRequest *request)
{
    if (request == m_request)
        return;
    delete m_request;
    m_request = request;
}

void TavrelDeviceInstance::clear()
{
    VLOG(6) << "Clearing instance";
    deviceHandle = nullptr;
    openHandle = nullptr;
    dropRequest();
}
