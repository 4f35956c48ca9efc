/* The device library's interface (libvarnok.so): the VNK_* functions, C linkage. Texts are UTF-8 (the
 * local 8-bit encoding); the library converts them to and from the device's Windows-1250. Handles are
 * pointer-sized opaque values, 0 meaning failure; a released or unknown handle is refused with
 * 0x10002, never followed. Codes and the protocol: docs/device-protocol.md. */
#ifndef VARNOK_VARNOK_H
#define VARNOK_VARNOK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void *VNK_HANDLE;
typedef unsigned int VNK_RESULT;

#define VNK_DEVICE_RS232 1u
/* VNK_SetDeviceParam ids: the line settings text "PORT,baud,bits,parity,stop,flow" (device handle),
 * and the answer timeout in seconds, a pointer to a 32-bit integer 1..300 (open or device handle). */
#define VNK_PARAM_LINE 0x20001u
#define VNK_PARAM_ANSWER_TIMEOUT 0x2000Au
/* Debug level bits (VNK_SetDebugLevel). */
#define VNK_DEBUG_STDERR 0x1u   /* copy every line to standard error */
#define VNK_DEBUG_EVENTS 0x2u   /* opening, closing, lost line, timeouts, failures */
#define VNK_DEBUG_REQUESTS 0x4u /* every request and answer: command, serial, status, values */
#define VNK_DEBUG_FRAMES 0x8u   /* every frame's bytes as sent and received, and bytes dropped */

VNK_HANDLE VNK_CreateDeviceHandle(unsigned int type);
VNK_HANDLE VNK_CreateRequest(VNK_HANDLE open, const char *command);
VNK_RESULT VNK_DestroyDeviceHandle(VNK_HANDLE device);
VNK_RESULT VNK_DestroyRequest(VNK_HANDLE request);
VNK_RESULT VNK_GetError(VNK_HANDLE handle);
const char *VNK_GetErrorString(VNK_RESULT code, const char *language);
VNK_RESULT VNK_GetPrnDeviceStatus(VNK_HANDLE open, unsigned int *deviceState);
unsigned int VNK_GetRequestCount(VNK_HANDLE open);
VNK_RESULT VNK_GetRequestStatus(VNK_HANDLE request);
VNK_RESULT VNK_GetResponseValue(VNK_HANDLE request, const char *name, char *value, unsigned int valueMax);
VNK_HANDLE VNK_OpenDevice(VNK_HANDLE device);
VNK_RESULT VNK_PostRequest(VNK_HANDLE request, unsigned int flags);
VNK_RESULT VNK_SetDebugLevel(VNK_HANDLE device, unsigned int level);
VNK_RESULT VNK_SetDeviceParam(VNK_HANDLE handle, unsigned int id, const void *value);
VNK_RESULT VNK_WaitForRequestCompleted(VNK_HANDLE request, unsigned int timeoutMs);
VNK_HANDLE VNK_GetNextResponse(VNK_HANDLE open);
VNK_RESULT VNK_PushRequestParam(VNK_HANDLE request, const char *name, const char *value);
VNK_RESULT VNK_CloseDevice(VNK_HANDLE open);
unsigned int VNK_GetRequestAge(VNK_HANDLE request);
unsigned int VNK_GetLibraryVersion(void);
VNK_RESULT VNK_SetDebugFileName(VNK_HANDLE device, const char *fileName);
VNK_HANDLE VNK_CreateRequestEx(VNK_HANDLE open, const char *command, const char *params);
intptr_t VNK_GetEvent(VNK_HANDLE open);
VNK_RESULT VNK_SetEventHandlingMode(VNK_HANDLE open, unsigned int mode);
VNK_RESULT VNK_PopResponseValue(VNK_HANDLE request, char *name, char *value, unsigned int valueMax);
unsigned int VNK_GetRequestCommandSerial(VNK_HANDLE request);
unsigned int VNK_GetRequestState(VNK_HANDLE request);

#ifdef __cplusplus
}
#endif

#endif
