// Everything the driver may call on the platform.
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include "platform/wintypes.h"
#include "platform/record.h"
#include "platform/coredll.h"
#include "platform/mmsystem.h"
#include "platform/seh.h"

#endif
