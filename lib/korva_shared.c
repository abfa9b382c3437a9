/* The shared library's own translation unit; all code comes from the subsystem archives. */
#include "korva/korva.h"
