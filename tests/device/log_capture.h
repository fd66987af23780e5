// Switches the diagnostic log on into a fresh file of a temporary directory
// and reads its entries back.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "log/log.h"
#include "tests/support/files.h"
#include "tests/support/services.h"

namespace fwu::test {

struct LogEntry {
    std::string file;
    std::string function;
    std::string message;
};

class LogCapture {
  public:
    LogCapture() {
        system_.exePath = dir_.Utf8("FirmwareUpgrade.exe");
        isLogPrint = true;
        StartLogFile();
    }

    // Entries written so far: "\n<file> <function>() Line:<n>:<message>".
    std::vector<LogEntry> Entries() const {
        std::istringstream ss(ReadFileText(logFilePath()));
        std::vector<LogEntry> entries;
        std::string line;
        while (std::getline(ss, line)) {
            if (line.empty()) continue;
            LogEntry e;
            const std::size_t blank = line.find(' ');
            const std::size_t parens = line.find("() Line:");
            const std::size_t colon = line.find(':', parens + 8);
            if (blank == std::string::npos || parens == std::string::npos ||
                colon == std::string::npos) {
                e.message = "<malformed> " + line;
            } else {
                e.file = line.substr(0, blank);
                e.function = line.substr(blank + 1, parens - blank - 1);
                e.message = line.substr(colon + 1);
            }
            entries.push_back(e);
        }
        return entries;
    }

    std::vector<std::string> Messages() const {
        std::vector<std::string> m;
        for (const LogEntry& e : Entries()) m.push_back(e.message);
        return m;
    }

  private:
    ScratchDir dir_{"fwu-device-log-"};
    FakeSystem system_;
    ScopedServices services_{{&system_}};  // closes the log before its directory goes
};

}  // namespace fwu::test
