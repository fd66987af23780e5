// Switches the diagnostic log on into a fresh file of a temporary directory
// and reads its entries back.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log/log.h"
#include "platform/system.h"

namespace fwu::test {

class TempDirSystem : public ISystem {
  public:
    explicit TempDirSystem(std::string exe) : exe_(std::move(exe)) {}
    std::string ExecutablePath() override { return exe_; }
    std::string ReadIniValue(const std::string&, const std::string&, const std::string&,
                             std::size_t) override {
        return "";
    }
    std::string ComputerName() override { return "BENCH"; }
    std::optional<std::vector<std::uint8_t>> LoadRecord(int) override { return std::nullopt; }
    LocalTime Now() override { return {2024, 5, 6, 7, 8, 9}; }
    InstanceResult AcquireSingleInstance(const std::string&,
                                         std::unique_ptr<IInstanceGuard>&) override {
        return InstanceResult::NoGuard;
    }

  private:
    std::string exe_;
};

struct LogEntry {
    std::string file;
    std::string function;
    std::string message;
};

class LogCapture {
  public:
    LogCapture()
        : dir_(std::filesystem::temp_directory_path() /
               ("fwu-device-log-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)))),
          system_((dir_ / "FirmwareUpgrade.exe").string()) {
        std::filesystem::create_directories(dir_);
        SetSystem(&system_);
        isLogPrint = true;
        StartLogFile();
    }
    ~LogCapture() {
        ResetLogForTests();
        SetSystem(nullptr);
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
    TempDirSystem system_;
};

}  // namespace fwu::test
