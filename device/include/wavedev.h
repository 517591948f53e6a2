/* The platform header wavedev.h: its declarations are in ceonly.h. */
#include "ceonly.h"
