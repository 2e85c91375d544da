#include "support/run_tool.h"

#include <cstdio>
#include <system_error>
#include <sys/wait.h>

std::filesystem::path testProgramFolder() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
}

std::filesystem::path toolPath(const std::string& name) { return testProgramFolder() / name; }

bool runTool(const std::string& name, std::string& output) {
    output.clear();
    std::string command = "'" + toolPath(name).string() + "'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return false;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    int status = ::pclose(pipe);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
