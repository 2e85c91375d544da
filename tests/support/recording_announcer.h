// Records the local-network announcement instead of broadcasting it.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/announce.h"

class RecordingAnnouncer : public LanAnnouncer {
public:
    // What was announced, shared with the test (the server owns the announcer).
    struct Record {
        mutable std::mutex mutex;
        std::vector<DnsSdService> registered;
        std::vector<std::string> withdrawn;  // instance names, in order
        bool refuse = false;                 // register nothing, as without DNS-SD

        std::vector<DnsSdService> registrations() const {
            std::lock_guard<std::mutex> lock(mutex);
            return registered;
        }
        std::vector<std::string> withdrawals() const {
            std::lock_guard<std::mutex> lock(mutex);
            return withdrawn;
        }
    };

    explicit RecordingAnnouncer(std::shared_ptr<Record> record) : record_(std::move(record)) {}

    DnsSdRegistration* registerService(const DnsSdService& service) override {
        std::lock_guard<std::mutex> lock(record_->mutex);
        record_->registered.push_back(service);
        if (record_->refuse) return nullptr;
        kept_.push_back(std::make_unique<DnsSdRegistration>());
        kept_.back()->service = service;
        return kept_.back().get();
    }

    void withdraw(DnsSdRegistration* registration) override {
        std::lock_guard<std::mutex> lock(record_->mutex);
        record_->withdrawn.push_back(registration ? registration->service.instance : std::string("(null)"));
    }

private:
    std::shared_ptr<Record> record_;
    std::vector<std::unique_ptr<DnsSdRegistration>> kept_;
};
