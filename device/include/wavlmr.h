/* The platform header wavlmr.h: its declarations are in ceonly.h. */
#include "ceonly.h"
