#include "app/presence.h"

// No computer is asked yet; the menu shows every registered computer without a presence text.
void refreshPresence() {}
