/* The wave driver's side of the wave API: the wave messages, the open
 * description, the extended capabilities and the wave mapper's messages. */
#ifndef PLATFORM_MMDDK_H
#define PLATFORM_MMDDK_H

#include "mmsystem.h"

/* Wave messages to an output driver (uMsg of MMDRV_MESSAGE_PARAMS). */
#define WODM_GETNUMDEVS 3
#define WODM_GETDEVCAPS 4
#define WODM_OPEN 5
#define WODM_CLOSE 6
#define WODM_PREPARE 7
#define WODM_UNPREPARE 8
#define WODM_WRITE 9
#define WODM_PAUSE 10
#define WODM_RESTART 11
#define WODM_RESET 12
#define WODM_GETPOS 13
#define WODM_GETPITCH 14
#define WODM_SETPITCH 15
#define WODM_GETVOLUME 16
#define WODM_SETVOLUME 17
#define WODM_GETPLAYBACKRATE 18
#define WODM_SETPLAYBACKRATE 19
#define WODM_BREAKLOOP 20
#define WODM_GETEXTDEVCAPS 22

#define DRVM_MAPPER_PREFERRED_GET 0x2015
#define DRVM_MAPPER_PREFERRED_SET 0x2016

typedef struct waveopendesc_tag {
    HWAVE hWave;              /* the wave API's handle of the stream */
    LPWAVEFORMATEX lpFormat;  /* the client's format record */
    DWORD_PTR dwCallback;     /* the client's callback function */
    DWORD_PTR dwInstance;     /* the client's instance word */
    UINT uMappedDeviceID;     /* the device a mapped open reached */
} WAVEOPENDESC, *PWAVEOPENDESC, *LPWAVEOPENDESC;

/* Extended capabilities: seven 32-bit words. */
typedef struct tag_WAVEOUTEXTCAPS {
    DWORD dwMaxHwStreams;        /* hardware-mixed PCM streams */
    DWORD dwFreeHwStreams;       /* of those, available */
    DWORD dwSwMixerSampleRate;   /* preferred rate for the software mixer, 0: none */
    DWORD dwSwMixerBufferSize;   /* preferred buffer size, 0: none */
    DWORD dwSwMixerBufferCount;  /* preferred buffer count, 0: none */
    DWORD dwMinSampleRate;       /* slowest hardware-mixed rate */
    DWORD dwMaxSampleRate;       /* fastest hardware-mixed rate */
} WAVEOUTEXTCAPS, *PWAVEOUTEXTCAPS, *LPWAVEOUTEXTCAPS;

#endif
