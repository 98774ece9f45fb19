// The generic list operations are templates in list.h; this unit checks
// that the header stands on its own.
#include "list/list.h"
