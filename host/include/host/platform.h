// The platform's headers as the host's own sources, tests and tools see them:
// everything the driver may call, and the records and constants of the wave
// API and the wave driver interface.  The 16-bit wide-string routines are
// left out on purpose: the host's sources use the C library's.
#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>
#include <dbgapi.h>
#include <pkfuncs.h>
#include <wavedev.h>
#include <wavlmr.h>
