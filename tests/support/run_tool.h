// Runs one of the small helper programs built beside the test program (tests/support/tools).
#pragma once

#include <filesystem>
#include <string>

// The folder the running test program is in.
std::filesystem::path testProgramFolder();

// Runs the tool `name` (".exe" is added on Windows) from the test program's folder without
// arguments; true when it ran and exited with 0. `output` receives what it wrote to its
// standard output.
bool runTool(const std::string& name, std::string& output);

// The tool's file, for tests that look at the built program itself.
std::filesystem::path toolPath(const std::string& name);
