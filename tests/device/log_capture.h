// Switches the diagnostic log on into a fresh file of a temporary directory
// and reads its entries back.
#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "log/log.h"
#include "tests/support/services.h"

namespace fwu::test {

struct LogEntry {
    std::string file;
    std::string function;
    std::string message;
};

class LogCapture {
  public:
    LogCapture()
        : dir_(std::filesystem::temp_directory_path() /
               ("fwu-device-log-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)))) {
        std::filesystem::create_directories(dir_);
        system_.exePath = (dir_ / "FirmwareUpgrade.exe").string();
        services_ = std::make_unique<ScopedServices>(Services{&system_});
        isLogPrint = true;
        StartLogFile();
    }
    ~LogCapture() {
        services_.reset();  // closes the log before its directory goes
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Entries written so far: "\n<file> <function>() Line:<n>:<message>".
    std::vector<LogEntry> Entries() const {
        const std::string path = logFilePath();
        std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())),
                         std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
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
    std::filesystem::path dir_;
    FakeSystem system_;
    std::unique_ptr<ScopedServices> services_;
};

}  // namespace fwu::test
