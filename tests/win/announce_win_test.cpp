#include "host/announce.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "core/text.h"
#include "net/framed.h"
#include "support/log_capture.h"

namespace {

// Whether this system could really announce; a test must then not, since it would reach the network.
bool systemRegisters() {
    HMODULE dnsapi = LoadLibraryW(L"dnsapi.dll");
    return dnsapi && GetProcAddress(dnsapi, "DnsServiceConstructInstance") &&
           GetProcAddress(dnsapi, "DnsServiceRegister");
}

TEST(DnsSdWin, WithoutTheServiceFunctionsNothingIsRegisteredOrLogged) {
    if (systemRegisters()) GTEST_SKIP() << "this system has DNS-SD registration; the test would announce on the network";
    LogCapture log;
    std::unique_ptr<LanAnnouncer> announcer = systemLanAnnouncer();
    DnsSdService service;
    ASSERT_TRUE(buildDnsSdService("거실 컴퓨터", localHostName(), 47800, kServiceSuffix,
                                  "0123456789abcdef0123456789abcdef", "042913377", service));
    EXPECT_EQ(announcer->registerService(service), nullptr);
    announcer->withdraw(nullptr);
    EXPECT_EQ(log.text(), "");
}

TEST(LocalHostNameWin, IsTheDnsHostNameInUtf8) {
    wchar_t name[256] = {};
    DWORD size = 256;
    ASSERT_TRUE(GetComputerNameExW(ComputerNameDnsHostname, name, &size));
    EXPECT_EQ(localHostName(), wideToUtf8(std::wstring(name, size)));
    EXPECT_FALSE(localHostName().empty());
}

}  // namespace
