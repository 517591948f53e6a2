/* The platform header pkfuncs.h: its declarations are in ceonly.h. */
#include "ceonly.h"
