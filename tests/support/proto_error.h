// The text of the ProtoError an action throws, so that a table of cases can compare texts.
#pragma once

#include <string>

#include "core/wire.h"

// "" when the action did not throw.
template <class F>
std::string protoErrorOf(F&& action) {
    try {
        action();
    } catch (const ProtoError& e) {
        return e.what();
    }
    return "";
}
