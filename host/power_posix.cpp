// Builds without the system's power calls have no privilege to enable.
#include "host/power.h"

void enableShutdownPrivilege() {}
