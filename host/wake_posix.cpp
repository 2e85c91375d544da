// Builds without the system's adapter list offer no wake targets.
#include "host/wake.h"

Json localWakeTargets() { return wakeTargetsFromAdapters({}); }
