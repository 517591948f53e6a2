// The GUIDs that <mmreg.h> names, defined once for every program, as the
// platform's link library defines them.
#define INITGUID
#include <mmreg.h>
