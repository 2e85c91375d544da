// Libraries the program loads by name at run time.
#pragma once

#ifdef _WIN32
// A library of the system, from the system folder only (an HMODULE; null when it is not there):
// a file of that name beside the program or in the current folder must never be loaded in its
// place, least of all in an elevated process.
void* loadSystemLibrary(const wchar_t* name);
#endif
