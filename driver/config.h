// Facts the driver shares with the host that boots it, the player and the
// tests: the device's name and the one format it plays, where the device
// manager finds it and where it reads its pacing values (both under
// HKEY_LOCAL_MACHINE), the values' names and defaults, and the handle through
// which waveOutMessage reaches the wave mapper.  Plain macros with no
// includes, so that host code and driver code read the same text; everything
// else derives from these.
#ifndef DRIVER_CONFIG_H
#define DRIVER_CONFIG_H

// The device's name in its capabilities (ASCII, widened where it is written;
// with its terminator it fits the capabilities' 32 characters).
#define BTWAV_DEVICE_NAME "Bluetooth A2DP Output"

// The one format the device plays: 16-bit stereo PCM at 44,100 Hz.
#define BTWAV_DEVICE_RATE 44100          // frames per second
#define BTWAV_DEVICE_CHANNELS 2
#define BTWAV_DEVICE_BITS 16             // per sample
#define BTWAV_DEVICE_FRAME_BYTES (BTWAV_DEVICE_CHANNELS * BTWAV_DEVICE_BITS / 8)
#define BTWAV_DEVICE_BYTE_RATE (BTWAV_DEVICE_RATE * BTWAV_DEVICE_FRAME_BYTES)   // 176,400

#define BTWAV_DRIVER_KEY "Drivers\\BuiltIn\\WAVKELVO"
#define BTWAV_PARAMS_KEY BTWAV_DRIVER_KEY "\\Params"

// The pacing values (each a 4-byte number) and what stands when one is
// missing or unusable.
#define BTWAV_VALUE_SAMPLE "Sample"       // byte rate, bytes per second
#define BTWAV_VALUE_TIMER "Timer"         // tick period, ms
#define BTWAV_VALUE_CACHELEN "CacheLen"   // bytes the first tick asks for
#define BT_AUDIO_DEFAULT_SAMPLE BTWAV_DEVICE_BYTE_RATE
#define BT_AUDIO_DEFAULT_TIMER 20
#define BT_AUDIO_DEFAULT_CACHELEN 6144

// How the driver reads each of them: a value of exactly BTWAV_VALUE_BYTES
// bytes of data, whatever its type, as a little-endian number; a value of
// any other size leaves the default.  A 0 leaves the default too where the
// value's BTWAV_ZERO_TAKEN_ is 0: a byte rate of 0 would stop the pump's
// clock and a period of 0 would ask for a timer that never ticks.
#define BTWAV_VALUE_BYTES 4
#define BTWAV_ZERO_TAKEN_SAMPLE 0
#define BTWAV_ZERO_TAKEN_TIMER 0
#define BTWAV_ZERO_TAKEN_CACHELEN 1

// The wave mapper as a handle, for waveOutMessage.  Needs the platform's
// HWAVEOUT, DWORD_PTR and WAVE_MAPPER where it is used.
#define WAVE_MAPPER_HANDLE (reinterpret_cast<HWAVEOUT>(static_cast<DWORD_PTR>(WAVE_MAPPER)))

#endif
