#include "app/wake.h"

void wakeHost(const Peer&) {}
