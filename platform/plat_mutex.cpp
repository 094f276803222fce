// The mutex is header-only; this unit keeps the platform library non-empty.
#include "platform/plat_mutex.h"
