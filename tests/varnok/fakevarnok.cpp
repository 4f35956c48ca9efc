// A device library that exports every VNK_* function except VNK_GetEvent: the loader must refuse it.
#include "varnok/varnok.h"

#define FAKE(ret, name, args, value)                                                                         \
    extern "C" __attribute__((visibility("default"))) ret name args                                          \
    {                                                                                                        \
        return value;                                                                                        \
    }

// clang-format off
FAKE(VNK_HANDLE, VNK_CreateDeviceHandle, (unsigned int), nullptr)
FAKE(VNK_HANDLE, VNK_CreateRequest, (VNK_HANDLE, const char *), nullptr)
FAKE(VNK_RESULT, VNK_DestroyDeviceHandle, (VNK_HANDLE), 1)
FAKE(VNK_RESULT, VNK_DestroyRequest, (VNK_HANDLE), 1)
FAKE(VNK_RESULT, VNK_GetError, (VNK_HANDLE), 1)
FAKE(const char *, VNK_GetErrorString, (VNK_RESULT, const char *), "")
FAKE(VNK_RESULT, VNK_GetPrnDeviceStatus, (VNK_HANDLE, unsigned int *), 1)
FAKE(unsigned int, VNK_GetRequestCount, (VNK_HANDLE), 0)
FAKE(VNK_RESULT, VNK_GetRequestStatus, (VNK_HANDLE), 1)
FAKE(VNK_RESULT, VNK_GetResponseValue, (VNK_HANDLE, const char *, char *, unsigned int), 1)
FAKE(VNK_HANDLE, VNK_OpenDevice, (VNK_HANDLE), nullptr)
FAKE(VNK_RESULT, VNK_PostRequest, (VNK_HANDLE, unsigned int), 1)
FAKE(VNK_RESULT, VNK_SetDebugLevel, (VNK_HANDLE, unsigned int), 1)
FAKE(VNK_RESULT, VNK_SetDeviceParam, (VNK_HANDLE, unsigned int, const void *), 1)
FAKE(VNK_RESULT, VNK_WaitForRequestCompleted, (VNK_HANDLE, unsigned int), 1)
FAKE(VNK_HANDLE, VNK_GetNextResponse, (VNK_HANDLE), nullptr)
FAKE(VNK_RESULT, VNK_PushRequestParam, (VNK_HANDLE, const char *, const char *), 1)
FAKE(VNK_RESULT, VNK_CloseDevice, (VNK_HANDLE), 1)
FAKE(unsigned int, VNK_GetRequestAge, (VNK_HANDLE), 0)
FAKE(unsigned int, VNK_GetLibraryVersion, (void), 0x09080007)
FAKE(VNK_RESULT, VNK_SetDebugFileName, (VNK_HANDLE, const char *), 1)
FAKE(VNK_HANDLE, VNK_CreateRequestEx, (VNK_HANDLE, const char *, const char *), nullptr)
FAKE(VNK_RESULT, VNK_SetEventHandlingMode, (VNK_HANDLE, unsigned int), 1)
FAKE(VNK_RESULT, VNK_PopResponseValue, (VNK_HANDLE, char *, char *, unsigned int), 1)
FAKE(unsigned int, VNK_GetRequestCommandSerial, (VNK_HANDLE), 0)
FAKE(unsigned int, VNK_GetRequestState, (VNK_HANDLE), 0)
// clang-format on
