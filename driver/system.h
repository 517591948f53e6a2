// Everything the driver takes from the platform, under the platform's own
// header names, and the driver's own helpers for the platform's records.
// Every header of the driver that uses the platform's types includes this
// one, but for three: btlink/lmr.h (the library's interface, over the
// library's own <wavlmr.h>), driver/config.h (names and numbers only, shared
// with the host) and driver/guard.h (the guard frames, over <windows.h> and
// <excpt.h> directly).
#ifndef DRIVER_SYSTEM_H
#define DRIVER_SYSTEM_H

#include <stddef.h>   // offsetof
#include <stdlib.h>   // malloc, free: the C runtime's heap
#include <string.h>   // memcpy

#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>
#include <dbgapi.h>    // NKDbgPrintfW
#include <pkfuncs.h>   // GetCurrentPermissions, SetProcPermissions
#include <wavedev.h>   // IOCTL_WAV_MESSAGE, MMDRV_MESSAGE_PARAMS

#include "driver/record.h"

#endif
