// Simulated controllers as the process's HID backend and rumble for the device
// tests, with pauses that cost nothing.
#pragma once

#include "sim/sim.h"
#include "tests/support/services.h"

namespace fwu::test {

struct SimWorld {
    SimWorld() = default;
    explicit SimWorld(const sim::Config& first) : backend(first) {}
    SimWorld(const SimWorld&) = delete;
    SimWorld& operator=(const SimWorld&) = delete;

    FakeSleeper sleeper;
    sim::SimBackend backend;
    ScopedServices services{{nullptr, &sleeper, &backend, &backend}};
};

}  // namespace fwu::test
