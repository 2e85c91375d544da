// Plays the person at the machine: xdotool sends X input to the Xvfb display that Wine draws on,
// so the events reach the program as local (not injected) input. X keyboard focus follows the
// pointer there, so keys reach Wine only while the pointer is over one of its windows.
#pragma once

#include <functional>
#include <string>

// Whether the xdotool program is there to run.
bool xdotoolAvailable();

// Runs "xdotool <arguments>" and waits, calling `pump` meanwhile, until it has finished (at most
// ten seconds). Wine cannot wait on a Linux program's process handle, so the program touches a
// marker file when done. True when it finished.
bool runXdotool(const std::string& arguments, const std::function<void()>& pump);
