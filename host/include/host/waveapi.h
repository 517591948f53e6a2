/* How the host's wave API behaves for an application.  The declarations are
 * the platform's own, in <mmsystem.h> and <mmreg.h> (this header includes
 * them); what follows is what the host promises about them.  Includable
 * from C and C++.
 *
 * Devices and handles.  Device 0 is the built-in output, the driver's device
 * follows as device 1.  Functions that take an HWAVEOUT need a handle from
 * waveOutOpen; waveOutGetDevCaps, waveOutGetVolume, waveOutSetVolume and
 * waveOutMessage also take a device id (0 .. waveOutGetNumDevs() - 1) in its
 * place, and waveOutMessage takes WAVE_MAPPER for the mapper's own messages.
 * A value that is neither answers MMSYSERR_INVALHANDLE.
 *
 * Callbacks.  CALLBACK_NULL, CALLBACK_FUNCTION (called on the thread that
 * completes the message, often the driver's timer thread with the driver's
 * lock held: it must not wait for another thread that calls the wave API),
 * CALLBACK_EVENT (an event handle from CreateEvent, set for MM_WOM_DONE and
 * MM_WOM_CLOSE, not for MM_WOM_OPEN, as on the device) and
 * CALLBACK_THREAD (a thread id; the message is posted to that thread's
 * queue, see host/kernel.h) and CALLBACK_WINDOW (a window of <winuser.h>;
 * the message is posted to it, wParam the HWAVEOUT and lParam the WAVEHDR
 * for MM_WOM_DONE, and reaches its procedure through the owning thread's
 * message loop).  A CALLBACK_EVENT or CALLBACK_WINDOW value that is not an
 * event or a window answers MMSYSERR_INVALPARAM.
 *
 * The wave mapper.  An open of WAVE_MAPPER goes to the preferred device; an
 * open of a device id with WAVE_MAPPED goes to that device through the
 * mapper.  The mapper asks the device with WAVE_FORMAT_QUERY first; when the
 * device refuses a PCM format (8-, 16- or 32-bit, 1 to 8 channels, given as
 * WAVE_FORMAT_PCM or as WAVE_FORMAT_EXTENSIBLE with the PCM subformat), the
 * mapper looks for a 16-bit format that the device accepts and converts
 * every buffer into it (rate, channels and sample width) on the way;
 * whenever its queue runs dry it plays what its resampler still holds, so
 * every frame written is heard and positions reach what was written, and a
 * later write continues the conversion as if there had been no gap.  The application
 * keeps its own format and headers: positions are reported in its units and
 * MM_WOM_DONE carries its header.  WAVE_FORMAT_DIRECT, or a device id
 * without WAVE_MAPPED, bypasses the mapper: the device sees the format and
 * flags as given.  waveOutGetID answers WAVE_MAPPER for a handle opened
 * through WAVE_MAPPER.  waveOutGetDevCaps(WAVE_MAPPER) describes the mapper
 * itself: its name is "Wave Mapper" and it announces every standard format,
 * since it converts each of them for the preferred device.
 *
 * Character sets.  The platform is Unicode: waveOutGetDevCaps fills the
 * 16-bit WAVEOUTCAPS and waveOutGetErrorText writes 16-bit text.
 *
 * Wave input.  The system has no input device: waveInGetNumDevs answers 0,
 * waveInGetDevCaps and waveInOpen MMSYSERR_BADDEVICEID, and the calls on a
 * handle MMSYSERR_INVALHANDLE. */
#ifndef HOST_WAVEAPI_H
#define HOST_WAVEAPI_H

#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>

#endif
