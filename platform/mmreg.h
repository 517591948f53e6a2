/* Format tags and the extensible format record, as the platform's SDK
 * declares them.  Usable from C89, C99 and C++.
 *
 * WAVEFORMATEXTENSIBLE carries a WAVEFORMATEX with wFormatTag
 * WAVE_FORMAT_EXTENSIBLE and cbSize 22, then the valid bits per sample, the
 * speaker positions of the channels, and the sample format as a GUID
 * (KSDATAFORMAT_SUBTYPE_PCM or KSDATAFORMAT_SUBTYPE_IEEE_FLOAT).  The two
 * GUIDs are defined by the host library, as the platform's link library
 * defines them; a program that defines INITGUID before including this header
 * defines them itself. */
#ifndef PLATFORM_MMREG_H
#define PLATFORM_MMREG_H

#include "mmsystem.h"

/* ---- Format tags --------------------------------------------------------------------- */
#define WAVE_FORMAT_UNKNOWN 0x0000
#define WAVE_FORMAT_ADPCM 0x0002
#define WAVE_FORMAT_IEEE_FLOAT 0x0003
#define WAVE_FORMAT_ALAW 0x0006
#define WAVE_FORMAT_MULAW 0x0007
#define WAVE_FORMAT_IMA_ADPCM 0x0011
#define WAVE_FORMAT_GSM610 0x0031
#define WAVE_FORMAT_MPEGLAYER3 0x0055
#define WAVE_FORMAT_EXTENSIBLE 0xFFFE

/* ---- Speaker positions of dwChannelMask ---------------------------------------------- */
#define SPEAKER_FRONT_LEFT 0x1
#define SPEAKER_FRONT_RIGHT 0x2
#define SPEAKER_FRONT_CENTER 0x4
#define SPEAKER_LOW_FREQUENCY 0x8
#define SPEAKER_BACK_LEFT 0x10
#define SPEAKER_BACK_RIGHT 0x20
#define SPEAKER_FRONT_LEFT_OF_CENTER 0x40
#define SPEAKER_FRONT_RIGHT_OF_CENTER 0x80
#define SPEAKER_BACK_CENTER 0x100
#define SPEAKER_SIDE_LEFT 0x200
#define SPEAKER_SIDE_RIGHT 0x400
#define SPEAKER_TOP_CENTER 0x800
#define SPEAKER_TOP_FRONT_LEFT 0x1000
#define SPEAKER_TOP_FRONT_CENTER 0x2000
#define SPEAKER_TOP_FRONT_RIGHT 0x4000
#define SPEAKER_TOP_BACK_LEFT 0x8000
#define SPEAKER_TOP_BACK_CENTER 0x10000
#define SPEAKER_TOP_BACK_RIGHT 0x20000
#define SPEAKER_ALL 0x80000000

/* ---- The extensible format ------------------------------------------------------------ */
#ifndef _WAVEFORMATEXTENSIBLE_
#define _WAVEFORMATEXTENSIBLE_
#pragma pack(push, 1)
typedef struct {
    WAVEFORMATEX Format;
    union {
        WORD wValidBitsPerSample;   /* bits of precision in each sample */
        WORD wSamplesPerBlock;      /* compressed formats: samples in a block */
        WORD wReserved;
    } Samples;
    DWORD dwChannelMask;            /* SPEAKER_* of the channels, in order */
    GUID SubFormat;                 /* the sample format */
} WAVEFORMATEXTENSIBLE, *PWAVEFORMATEXTENSIBLE, *LPWAVEFORMATEXTENSIBLE;
#pragma pack(pop)
#endif

/* The sample formats: a format tag in the first word of the GUID
 * 0000xxxx-0000-0010-8000-00AA00389B71. */
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_PCM, 0x00000001, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 0x00000003, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b,
            0x71);

#endif
