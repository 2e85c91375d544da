// Restarting the host PC or putting it to sleep for the viewer.
#pragma once

#include <cstdint>
#include <string>

// Enables the shutdown privilege in this process's token; failures are left to the call that
// needs it.
void enableShutdownPrivilege();

// Restarts Windows (forcing programs that hang); empty on success, else the Korean failure text
// with the system's error code.
std::string restartPc();
// Puts the PC to sleep (not hibernation); returns after it wakes. Empty on success, else the
// Korean failure text.
std::string sleepPc();

// "원격 PC 를 다시 시작하지 못했습니다 (<error>)".
std::string restartFailureText(uint32_t error);
extern const char* const kSleepFailureText;

#ifdef _WIN32
// The real power calls behind hostHooks(): ExitWindowsEx and SetSuspendState.
bool systemRestart(uint32_t& error);
bool systemSleep();
#endif
