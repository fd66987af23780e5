// Appends COUNT records to the update history in DIR through the platform's
// own file services, each with TAG as its serial number and its index as its
// duration, so that a test can run two of these at once and check that no
// record was lost or torn. Exits 0 when every append succeeded.
#include <cstdlib>
#include <iostream>
#include <string>

#include "app/history.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    auto system = fwu::CreatePlatformSystem();
    fwu::SetSystem(system.get());
    fwu::RunHistory history(argv[1], {"probe", "console", true, false});
    const int count = std::atoi(argv[3]);
    for (int i = 0; i < count; ++i) {
        fwu::HistoryRecord record;
        record.time = fwu::HistoryTimeNow();
        record.serial = argv[2];
        record.durationMs = i;
        // Long enough that a line written in pieces would show.
        record.product = std::string(300, 'p');
        if (const std::string error = history.Append(record); !error.empty()) {
            std::cerr << error << '\n';
            return 1;
        }
    }
    return 0;
}
