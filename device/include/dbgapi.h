/* The platform header dbgapi.h: its declarations are in ceonly.h. */
#include "ceonly.h"
