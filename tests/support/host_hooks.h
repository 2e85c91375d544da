// Replaces members of the host's seam for one test and puts the real ones back afterwards.
#pragma once

#include "host/hooks.h"

class ScopedHostHooks {
public:
    ScopedHostHooks() : saved_(hostHooks()) {}
    ~ScopedHostHooks() { hostHooks() = saved_; }
    ScopedHostHooks(const ScopedHostHooks&) = delete;
    ScopedHostHooks& operator=(const ScopedHostHooks&) = delete;

    HostHooks* operator->() { return &hostHooks(); }

private:
    HostHooks saved_;
};
