// Test support: the message of the engine error a call raises, so that tests can compare
// the exact texts users see.
#pragma once

#include <string>
#include <utility>

#include "nv6_glbl.h"

namespace nvtest {

// The message of the Exception `call` raises; empty when it raises none.
template <class F>
std::string ErrorOf(F&& call) {
    try {
        std::forward<F>(call)();
    } catch (const Exception& e) {
        return e.Message();
    }
    return std::string();
}

}  // namespace nvtest
