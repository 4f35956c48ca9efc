// Loads the device library (libvarnok.so) by name at run time and resolves its 27 VNK_* functions.
// Held by the application object; every device call goes through the pointers below.
#pragma once

#include "varnok/varnok.h"

#include <QLibrary>
#include <QString>

class TavrelCMLoader
{
public:
    TavrelCMLoader();
    // Unloads a loaded library. Every device opened through it must be closed first and the thread
    // calling it ended (the application's shutdown does so, then calls unload() or lets this run).
    ~TavrelCMLoader();
    TavrelCMLoader(const TavrelCMLoader &) = delete;
    TavrelCMLoader &operator=(const TavrelCMLoader &) = delete;

    // 1 when the library is loaded and all 27 functions resolved (at once when already loaded);
    // 0 otherwise, with "Error importing: <name>" on standard output for the first missing function.
    int Load();
    bool isLoaded() const { return m_loaded; }
    // Clears the functions and unloads the library; Load may be called again.
    void unload();
    // VELMORA_VARNOK when set, else libvarnok.so beside the program, else "varnok" through the dynamic
    // loader's search path.
    static QString libraryName();
    // The file actually loaded (empty when none).
    QString fileName() const { return m_library.fileName(); }

    // The library's functions, null until Load succeeded; named and typed as the library exports them.
    decltype(&::VNK_CreateDeviceHandle) VNK_CreateDeviceHandle = nullptr;
    decltype(&::VNK_CreateRequest) VNK_CreateRequest = nullptr;
    decltype(&::VNK_DestroyDeviceHandle) VNK_DestroyDeviceHandle = nullptr;
    decltype(&::VNK_DestroyRequest) VNK_DestroyRequest = nullptr;
    decltype(&::VNK_GetError) VNK_GetError = nullptr;
    decltype(&::VNK_GetErrorString) VNK_GetErrorString = nullptr;
    decltype(&::VNK_GetPrnDeviceStatus) VNK_GetPrnDeviceStatus = nullptr;
    decltype(&::VNK_GetRequestCount) VNK_GetRequestCount = nullptr;
    decltype(&::VNK_GetRequestStatus) VNK_GetRequestStatus = nullptr;
    decltype(&::VNK_GetResponseValue) VNK_GetResponseValue = nullptr;
    decltype(&::VNK_OpenDevice) VNK_OpenDevice = nullptr;
    decltype(&::VNK_PostRequest) VNK_PostRequest = nullptr;
    decltype(&::VNK_SetDebugLevel) VNK_SetDebugLevel = nullptr;
    decltype(&::VNK_SetDeviceParam) VNK_SetDeviceParam = nullptr;
    decltype(&::VNK_WaitForRequestCompleted) VNK_WaitForRequestCompleted = nullptr;
    decltype(&::VNK_GetNextResponse) VNK_GetNextResponse = nullptr;
    decltype(&::VNK_PushRequestParam) VNK_PushRequestParam = nullptr;
    decltype(&::VNK_CloseDevice) VNK_CloseDevice = nullptr;
    decltype(&::VNK_GetRequestAge) VNK_GetRequestAge = nullptr;
    decltype(&::VNK_GetLibraryVersion) VNK_GetLibraryVersion = nullptr;
    decltype(&::VNK_SetDebugFileName) VNK_SetDebugFileName = nullptr;
    decltype(&::VNK_CreateRequestEx) VNK_CreateRequestEx = nullptr;
    decltype(&::VNK_GetEvent) VNK_GetEvent = nullptr;
    decltype(&::VNK_SetEventHandlingMode) VNK_SetEventHandlingMode = nullptr;
    decltype(&::VNK_PopResponseValue) VNK_PopResponseValue = nullptr;
    decltype(&::VNK_GetRequestCommandSerial) VNK_GetRequestCommandSerial = nullptr;
    decltype(&::VNK_GetRequestState) VNK_GetRequestState = nullptr;

private:
    void clearFunctions();

    QLibrary m_library;
    bool m_loaded = false;
};
