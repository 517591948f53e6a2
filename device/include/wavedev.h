/* Stand-in for the platform header wavedev.h, which a desktop Windows SDK
 * lacks, written from the platform's documentation: the I/O control code of
 * wave messages and their record.  The platform, 32-bit only, documents the
 * three last words as DWORD; they carry addresses, so a 64-bit build of the
 * record (the SEH check's) widens them. */
#ifndef DEVICE_WAVEDEV_H
#define DEVICE_WAVEDEV_H

#include <windows.h>

#define IOCTL_WAV_MESSAGE 0x001D000C
typedef struct {
    UINT uDeviceId;
    UINT uMsg;
    DWORD_PTR dwUser;
    DWORD_PTR dwParam1;
    DWORD_PTR dwParam2;
} MMDRV_MESSAGE_PARAMS, *PMMDRV_MESSAGE_PARAMS;

#endif
