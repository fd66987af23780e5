// A readable timeline of a recorded run: how long the controller took to
// enter its bootloader, what each image cost (time, pages, reports, retries,
// the waits the protocol mandates), the time between images, and the whole
// download against the protocol's floor for it.
#pragma once

#include <string>

#include "trace/format.h"

namespace fwu::trace {

std::string Summarize(const Trace& trace);

}  // namespace fwu::trace
