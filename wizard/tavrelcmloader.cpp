#include "wizard/tavrelcmloader.h"

#include "log/debug_class.h"
#include "platform/librarylocation.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

namespace
{
const char kLibraryBaseName[] = "varnok";
} // namespace

TavrelCMLoader::TavrelCMLoader() = default;

TavrelCMLoader::~TavrelCMLoader()
{
    unload();
}

QString TavrelCMLoader::libraryName()
{
    return LibraryLocation::find("VELMORA_VARNOK", QLatin1String(kLibraryBaseName));
}

int TavrelCMLoader::Load()
{
    if (m_loaded)
        return 1;
    m_library.setFileName(libraryName());
    if (!m_library.load()) {
        VLOG(6) << QStringLiteral("Device library %1 not loaded: %2")
                       .arg(m_library.fileName(), m_library.errorString());
        return 0;
    }
    // Resolved one by one in this order; the first one missing ends the load.
    struct Entry {
        const char *name;
        void **slot;
    };
    const Entry entries[] = {
        {"VNK_CreateDeviceHandle", reinterpret_cast<void **>(&VNK_CreateDeviceHandle)},
        {"VNK_CreateRequest", reinterpret_cast<void **>(&VNK_CreateRequest)},
        {"VNK_DestroyDeviceHandle", reinterpret_cast<void **>(&VNK_DestroyDeviceHandle)},
        {"VNK_DestroyRequest", reinterpret_cast<void **>(&VNK_DestroyRequest)},
        {"VNK_GetError", reinterpret_cast<void **>(&VNK_GetError)},
        {"VNK_GetErrorString", reinterpret_cast<void **>(&VNK_GetErrorString)},
        {"VNK_GetPrnDeviceStatus", reinterpret_cast<void **>(&VNK_GetPrnDeviceStatus)},
        {"VNK_GetRequestCount", reinterpret_cast<void **>(&VNK_GetRequestCount)},
        {"VNK_GetRequestStatus", reinterpret_cast<void **>(&VNK_GetRequestStatus)},
        {"VNK_GetResponseValue", reinterpret_cast<void **>(&VNK_GetResponseValue)},
        {"VNK_OpenDevice", reinterpret_cast<void **>(&VNK_OpenDevice)},
        {"VNK_PostRequest", reinterpret_cast<void **>(&VNK_PostRequest)},
        {"VNK_SetDebugLevel", reinterpret_cast<void **>(&VNK_SetDebugLevel)},
        {"VNK_SetDeviceParam", reinterpret_cast<void **>(&VNK_SetDeviceParam)},
        {"VNK_WaitForRequestCompleted", reinterpret_cast<void **>(&VNK_WaitForRequestCompleted)},
        {"VNK_GetNextResponse", reinterpret_cast<void **>(&VNK_GetNextResponse)},
        {"VNK_PushRequestParam", reinterpret_cast<void **>(&VNK_PushRequestParam)},
        {"VNK_CloseDevice", reinterpret_cast<void **>(&VNK_CloseDevice)},
        {"VNK_GetRequestAge", reinterpret_cast<void **>(&VNK_GetRequestAge)},
        {"VNK_GetLibraryVersion", reinterpret_cast<void **>(&VNK_GetLibraryVersion)},
        {"VNK_SetDebugFileName", reinterpret_cast<void **>(&VNK_SetDebugFileName)},
        {"VNK_CreateRequestEx", reinterpret_cast<void **>(&VNK_CreateRequestEx)},
        {"VNK_GetEvent", reinterpret_cast<void **>(&VNK_GetEvent)},
        {"VNK_SetEventHandlingMode", reinterpret_cast<void **>(&VNK_SetEventHandlingMode)},
        {"VNK_PopResponseValue", reinterpret_cast<void **>(&VNK_PopResponseValue)},
        {"VNK_GetRequestCommandSerial", reinterpret_cast<void **>(&VNK_GetRequestCommandSerial)},
        {"VNK_GetRequestState", reinterpret_cast<void **>(&VNK_GetRequestState)},
    };
    for (const Entry &e : entries) {
        *e.slot = reinterpret_cast<void *>(m_library.resolve(e.name));
        if (!*e.slot) {
            printf("Error importing: %s\n", e.name);
            fflush(stdout);
            clearFunctions();
            m_library.unload();
            return 0;
        }
    }
    const unsigned version = VNK_GetLibraryVersion();
    VLOG(4) << QStringLiteral("libvarnok.so version: %1.%2.%3")
                   .arg(version >> 24)
                   .arg((version >> 16) & 0xFF)
                   .arg(version & 0xFFFF);
    m_loaded = true;
    return 1;
}

void TavrelCMLoader::unload()
{
    clearFunctions();
    if (m_library.isLoaded())
        m_library.unload();
    m_loaded = false;
}

void TavrelCMLoader::clearFunctions()
{
    VNK_CreateDeviceHandle = nullptr;
    VNK_CreateRequest = nullptr;
    VNK_DestroyDeviceHandle = nullptr;
    VNK_DestroyRequest = nullptr;
    VNK_GetError = nullptr;
    VNK_GetErrorString = nullptr;
    VNK_GetPrnDeviceStatus = nullptr;
    VNK_GetRequestCount = nullptr;
    VNK_GetRequestStatus = nullptr;
    VNK_GetResponseValue = nullptr;
    VNK_OpenDevice = nullptr;
    VNK_PostRequest = nullptr;
    VNK_SetDebugLevel = nullptr;
    VNK_SetDeviceParam = nullptr;
    VNK_WaitForRequestCompleted = nullptr;
    VNK_GetNextResponse = nullptr;
    VNK_PushRequestParam = nullptr;
    VNK_CloseDevice = nullptr;
    VNK_GetRequestAge = nullptr;
    VNK_GetLibraryVersion = nullptr;
    VNK_SetDebugFileName = nullptr;
    VNK_CreateRequestEx = nullptr;
    VNK_GetEvent = nullptr;
    VNK_SetEventHandlingMode = nullptr;
    VNK_PopResponseValue = nullptr;
    VNK_GetRequestCommandSerial = nullptr;
    VNK_GetRequestState = nullptr;
}
