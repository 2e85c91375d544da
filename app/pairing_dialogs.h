// The dialogs through which two computers get to know each other: showing this PC's pairing code,
// adding a computer from another one's code, the access password and connecting by access ID.
#pragma once

#ifdef _WIN32
void makeCode();
void addComputer();
void setPassword();
void connectByAccessId();
#endif
