/* Stand-in for the platform's mmddk.h: the desktop SDK's mmddk.h, which it
 * includes, plus what the platform's declares and the desktop one lacks,
 * written from the platform's documentation: the extended capabilities and
 * their message, and the wave mapper's preferred-device message.  Marked a
 * system header, as the one it extends is, so that its #include_next passes
 * a pedantic build. */
#ifndef DEVICE_MMDDK_H
#define DEVICE_MMDDK_H

#if defined(__GNUC__) || defined(__clang__)
#pragma GCC system_header
#endif

#include <windows.h>
#include <mmsystem.h>
#include_next <mmddk.h>

#ifndef WODM_GETEXTDEVCAPS
#define WODM_GETEXTDEVCAPS 22
#endif
#ifndef DRVM_MAPPER_PREFERRED_SET
#define DRVM_MAPPER_PREFERRED_SET (DRVM_MAPPER + 22)
#endif
typedef struct tag_WAVEOUTEXTCAPS {
    DWORD dwMaxHwStreams;
    DWORD dwFreeHwStreams;
    DWORD dwSwMixerSampleRate;
    DWORD dwSwMixerBufferSize;
    DWORD dwSwMixerBufferCount;
    DWORD dwMinSampleRate;
    DWORD dwMaxSampleRate;
} WAVEOUTEXTCAPS, *PWAVEOUTEXTCAPS, *LPWAVEOUTEXTCAPS;

#endif
