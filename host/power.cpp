#include "host/power.h"

#include "host/hooks.h"

const char* const kSleepFailureText = "원격 PC 를 잠재우지 못했습니다 (잠자기를 쓸 수 없는 PC 일 수 있음)";

std::string restartFailureText(uint32_t error) {
    return "원격 PC 를 다시 시작하지 못했습니다 (" + std::to_string(error) + ")";
}

std::string restartPc() {
    enableShutdownPrivilege();
    uint32_t error = 0;
    if (hostHooks().restartSystem(error)) return {};
    return restartFailureText(error);
}

std::string sleepPc() {
    enableShutdownPrivilege();
    if (hostHooks().sleepSystem()) return {};
    return kSleepFailureText;
}
