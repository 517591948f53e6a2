/* The wave driver's I/O control: the code that carries wave messages and the
 * message record that arrives with it. */
#ifndef PLATFORM_WAVEDEV_H
#define PLATFORM_WAVEDEV_H

#include "windows.h"

#define IOCTL_WAV_MESSAGE 0x001D000C

/* The message record that arrives at pBufIn of WAV_IOControl. */
typedef struct {
    UINT uDeviceId;      /* device number the wave API addressed */
    UINT uMsg;           /* message number */
    DWORD_PTR dwUser;    /* the wave API's word; no handler uses it */
    DWORD_PTR dwParam1;  /* first parameter (often an address) */
    DWORD_PTR dwParam2;  /* second parameter */
} MMDRV_MESSAGE_PARAMS, *PMMDRV_MESSAGE_PARAMS;

#endif
