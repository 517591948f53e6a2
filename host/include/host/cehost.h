/* Starting the platform for an application of one's own.
 *
 * Linking libcehostapp (CMake: cehost::app; pkg-config: cehost) starts the
 * platform when the program loads, before main, as the device would have it
 * running: the registry, the device manager loading the driver from
 * HKEY_LOCAL_MACHINE\Drivers\BuiltIn\WAVKELVO, the wave API with the
 * built-in device 0 and the driver as device 1, and the Bluetooth stand-in
 * whose link comes up and makes the driver the mapper's preferred device.
 * The program then calls only the platform's functions (host/waveapi.h,
 * host/kernel.h).  It is stopped again at exit.
 *
 * The environment chooses:
 * CEHOST_CLOCK=real|virtual   the clock (default real).  The virtual clock
 * stands still unless the program advances it
 * with CeHostAdvanceClock: nothing plays, no
 * buffer comes back and GetTickCount does not
 * move until then.
 * CEHOST_REG=file.reg         applied after the defaults (Dll, Prefix,
 * Index, and the pacing values' defaults of
 * driver/config.h), read as the image
 * build reads it with the build's variables
 * (IF, #if, $(NAME), @CESYSGEN lists) from the
 * environment; its warnings go to stderr
 * CEHOST_DEFINE="N[=V] ..."   build variables for CEHOST_REG (the player's
 * --define), before the environment's
 * CEHOST_STRINGS=a.str:b.str  the strings of LOC_ placeholders (--strings)
 * CEHOST_SET="Timer=10 ..."   Sample, Timer or CacheLen of the driver's key,
 * set after CEHOST_REG (the player's --set); a
 * bad word in CEHOST_DEFINE or CEHOST_SET ends
 * the program before main with exit status 2
 * CEHOST_LINK=up|down         whether the headset connects (default up)
 * CEHOST_LINK_DELAY_MS=n      real clock: the link comes up n ms after the
 * start, from the stand-in's thread (default 0:
 * up before main runs)
 * CEHOST_DRIVER_DIR=dir       where btwav.dll is found as libbtwav.so
 * (default: next to libcehost)
 * CEHOST_DEBUG=1              the kernel debug output goes to stderr
 * CEHOST_WORLD="options"      the world's options in the player's syntax
 * (--headset-buffer 150ms --link-down 2s
 * --interference 3s:5s:50%): the link, codec,
 * radio, headset and listener are modelled and
 * the link follows these options, not
 * CEHOST_LINK; a bad option ends the program
 * before main (exit status 2)
 * CEHOST_REPORT=file          at exit, "packets N" and "headset_bytes N"
 * lines: what reached the headset; with the
 * world, a blank line and the player's report
 * CEHOST_REPORT_JSON=file     the report as JSON (asks for the world)
 * CEHOST_PLOT=file.svg        the pacing's timeline (asks for the world)
 * CEHOST_HEARD=file.wav       what the listener hears (asks for the world)
 * CEHOST_HEADSET=file         the audio that reached the headset, its
 * bytes in the order they arrived (44,100 Hz
 * stereo 16-bit PCM), written as it arrives
 * CEHOST_AUTOSTART=0          do not start at load; call CeHostStart
 * CEHOST_STRICT_CALLBACKS=1   a waveOut* call from inside the application's
 * callback function fails with
 * MMSYSERR_HANDLEBUSY, as the platform forbids
 * it (default: noted on the debug output)
 * CEHOST_ROOT=dir             the folder that is the platform's "\" for
 * the file calls and PlaySound (default: the
 * working directory) */
#ifndef HOST_CEHOST_H
#define HOST_CEHOST_H

#include <windows.h>
#include <mmsystem.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Starts the platform as described above; TRUE when it runs (also when it
 * already did).  On failure it prints why on stderr and answers FALSE. */
BOOL CeHostStart(void);
/* Stops the driver and the services; the wave API then has device 0 only. */
void CeHostStop(void);
/* Virtual clock only: advances it by ms, running every timer tick due and,
 * with CEHOST_WORLD, raising each of the link's timed changes at its time.
 * Must not be called from a wave callback. */
void CeHostAdvanceClock(DWORD ms);
/* "22050 Hz mono 16-bit to 44100 Hz stereo 16-bit on device 1": how an open
 * handle plays.  FALSE for a handle that is not open. */
BOOL CeHostDescribeMapping(HWAVEOUT hwo, char* text, UINT cchText);

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif
