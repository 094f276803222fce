// The host a manager thread reports to is declared with the service's view
// of the manager threads (the service implements it below this layer).
#pragma once

#include "server/gax_qor_svc_sysmanif.h"
