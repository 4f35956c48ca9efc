// A device library that exports every VNK_* function except VNK_GetEvent: the loader must refuse it.
#include "varnok/varnok.h"

#define FAKE extern "C" __attribute__((visibility("default")))

FAKE VNK_HANDLE VNK_CreateDeviceHandle(unsigned int)
{
    return nullptr;
}
FAKE VNK_HANDLE VNK_CreateRequest(VNK_HANDLE, const char *)
{
    return nullptr;
}
FAKE VNK_RESULT VNK_DestroyDeviceHandle(VNK_HANDLE)
{
    return 1;
}
FAKE VNK_RESULT VNK_DestroyRequest(VNK_HANDLE)
{
    return 1;
}
FAKE VNK_RESULT VNK_GetError(VNK_HANDLE)
{
    return 1;
}
FAKE const char *VNK_GetErrorString(VNK_RESULT, const char *)
{
    return "";
}
FAKE VNK_RESULT VNK_GetPrnDeviceStatus(VNK_HANDLE, unsigned int *)
{
    return 1;
}
FAKE unsigned int VNK_GetRequestCount(VNK_HANDLE)
{
    return 0;
}
FAKE VNK_RESULT VNK_GetRequestStatus(VNK_HANDLE)
{
    return 1;
}
FAKE VNK_RESULT VNK_GetResponseValue(VNK_HANDLE, const char *, char *, unsigned int)
{
    return 1;
}
FAKE VNK_HANDLE VNK_OpenDevice(VNK_HANDLE)
{
    return nullptr;
}
FAKE VNK_RESULT VNK_PostRequest(VNK_HANDLE, unsigned int)
{
    return 1;
}
FAKE VNK_RESULT VNK_SetDebugLevel(VNK_HANDLE, unsigned int)
{
    return 1;
}
FAKE VNK_RESULT VNK_SetDeviceParam(VNK_HANDLE, unsigned int, const void *)
{
    return 1;
}
FAKE VNK_RESULT VNK_WaitForRequestCompleted(VNK_HANDLE, unsigned int)
{
    return 1;
}
FAKE VNK_HANDLE VNK_GetNextResponse(VNK_HANDLE)
{
    return nullptr;
}
FAKE VNK_RESULT VNK_PushRequestParam(VNK_HANDLE, const char *, const char *)
{
    return 1;
}
FAKE VNK_RESULT VNK_CloseDevice(VNK_HANDLE)
{
    return 1;
}
FAKE unsigned int VNK_GetRequestAge(VNK_HANDLE)
{
    return 0;
}
FAKE unsigned int VNK_GetLibraryVersion(void)
{
    return 0x09080007;
}
FAKE VNK_RESULT VNK_SetDebugFileName(VNK_HANDLE, const char *)
{
    return 1;
}
FAKE VNK_HANDLE VNK_CreateRequestEx(VNK_HANDLE, const char *, const char *)
{
    return nullptr;
}
FAKE VNK_RESULT VNK_SetEventHandlingMode(VNK_HANDLE, unsigned int)
{
    return 1;
}
FAKE VNK_RESULT VNK_PopResponseValue(VNK_HANDLE, char *, char *, unsigned int)
{
    return 1;
}
FAKE unsigned int VNK_GetRequestCommandSerial(VNK_HANDLE)
{
    return 0;
}
FAKE unsigned int VNK_GetRequestState(VNK_HANDLE)
{
    return 0;
}
