// The open fiscal device: the library's device handle, the open-device handle and the request in
// flight (owned).
#pragma once

#include "varnok/varnok.h"
#include "wizard/tavrelrequest.h"

class TavrelDeviceInstance
{
public:
    TavrelDeviceInstance() = default;
    ~TavrelDeviceInstance();
    TavrelDeviceInstance(const TavrelDeviceInstance &) = delete;
    TavrelDeviceInstance &operator=(const TavrelDeviceInstance &) = delete;

    VNK_HANDLE deviceHandle = nullptr;
    VNK_HANDLE openHandle = nullptr;

    // Open when both handles are set.
    bool isOpen() const { return deviceHandle && openHandle; }

    TavrelRequest *request() const { return m_request; }
    // Takes ownership; the previous request is deleted.
    void setRequest(TavrelRequest *request);
    // Deletes the current request (the library keeps its posted handle).
    void dropRequest() { setRequest(nullptr); }

    // Logs "Clearing instance", zeroes both handles and deletes the current request. The caller has
    // closed and destroyed the handles before.
    void clear();

private:
    TavrelRequest *m_request = nullptr;
};
