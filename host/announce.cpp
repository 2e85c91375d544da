#include "host/announce.h"

std::string dnsSdInstanceLabel(const std::string& deviceName) {
    // A UTF-8 continuation byte never starts a character, so the cut moves back over them.
    size_t cut = deviceName.size();
    if (cut > kDnsLabelMax) {
        cut = kDnsLabelMax;
        while (cut > 0 && (static_cast<unsigned char>(deviceName[cut]) & 0xC0) == 0x80) --cut;
    }
    std::string label;
    label.reserve(cut + 8);
    for (size_t i = 0; i < cut; ++i) {
        char c = deviceName[i];
        if (c == '.' || c == '\\') label += '\\';
        label += c;
    }
    return label;
}

bool buildDnsSdService(const std::string& deviceName, const std::string& hostName, int port,
                       const std::string& suffix, const std::string& deviceId, const std::string& accessId,
                       DnsSdService& out) {
    std::string label = dnsSdInstanceLabel(deviceName);
    if (label.empty()) return false;
    out.instance = label + suffix;
    out.host = hostName + ".local";
    out.port = port;
    out.txt.clear();
    out.txt.emplace_back("id", deviceId);
    if (!accessId.empty()) out.txt.emplace_back("aid", accessId);
    return true;
}
