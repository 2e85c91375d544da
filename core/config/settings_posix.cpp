// The native half of the settings record: this machine's name stands in for the PC's.
#include "core/config/settings.h"

#include <climits>
#include <unistd.h>

std::string defaultDeviceName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0]) return name;
    return "Windows PC";
}
