// The entry points every family shares.
#include "ka/ka_common.h"

extern "C" const char* ka_version(void) { return KA_VERSION_STRING; }
