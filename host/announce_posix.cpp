// Outside Windows there is no DNS-SD to register with: the announcement is skipped, as on a
// Windows without the functions.
#include "host/announce.h"

namespace {

class NoAnnouncer : public LanAnnouncer {
public:
    DnsSdRegistration* registerService(const DnsSdService&) override { return nullptr; }
    void withdraw(DnsSdRegistration*) override {}
};

}  // namespace

std::unique_ptr<LanAnnouncer> systemLanAnnouncer() { return std::make_unique<NoAnnouncer>(); }
