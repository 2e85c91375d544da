// The local-network announcement of a hosting PC through DNS service discovery: what one
// registration announces, and where registrations go (the system's DNS-SD, or a test's recorder).
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

inline constexpr char kServiceSuffix[] = "._tavrel._tcp.local";
inline constexpr char kFormerServiceSuffix[] = "._varnoth._tcp.local";

// Longest DNS label in bytes.
inline constexpr size_t kDnsLabelMax = 63;

// One service instance to register, all text in UTF-8.
struct DnsSdService {
    std::string instance;  // the escaped instance label followed by the service suffix
    std::string host;      // this PC's host name followed by ".local"
    int port = 0;
    std::vector<std::pair<std::string, std::string>> txt;  // properties, in order
};

// The device name as an instance label: cut to 63 bytes without splitting a character, then
// "." and "\" escaped with a backslash so that they stay inside the label. Empty for an empty name.
std::string dnsSdInstanceLabel(const std::string& deviceName);

// The registration of this PC under one service suffix: "id" always, "aid" only when accessId is
// not empty (password logins are possible). False when the device name gives no label.
bool buildDnsSdService(const std::string& deviceName, const std::string& hostName, int port,
                       const std::string& suffix, const std::string& deviceId, const std::string& accessId,
                       DnsSdService& out);

// A registration as the announcer keeps it; withdrawn registrations stay with their announcer,
// since the system may still complete work on them.
struct DnsSdRegistration {
    virtual ~DnsSdRegistration() = default;
    DnsSdService service;
};

class LanAnnouncer {
public:
    virtual ~LanAnnouncer() = default;
    // The registration, owned by the announcer, or null when nothing was registered; failures
    // are silent.
    virtual DnsSdRegistration* registerService(const DnsSdService& service) = 0;
    virtual void withdraw(DnsSdRegistration* registration) = 0;
};

// The system's DNS-SD functions, loaded at run time; registers nothing where they are missing
// (and nothing at all outside Windows).
std::unique_ptr<LanAnnouncer> systemLanAnnouncer();
