// Another program run through the command shell, its standard output read
// through a pipe: what the tests that start the tool's executables share.
#pragma once

#include <cstdio>
#include <string>

namespace fwu::test {

// A started command. The destructor waits for it when Wait() was not called.
class ChildProcess {
  public:
    explicit ChildProcess(const std::string& command);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pipe_ != nullptr; }
    // The next line of its output without the line end; false at the end.
    bool ReadLine(std::string& line);
    // All output still to come.
    std::string ReadAll();
    // Waits for the end: its exit status, or -1 when it did not exit normally
    // (or never started).
    int Wait();

  private:
    std::FILE* pipe_ = nullptr;
};

struct ProcessOutcome {
    int status = -1;
    std::string output;
};

// Runs `command` to its end. Which streams reach `output` is the command's
// own business ("2>&1" for both).
ProcessOutcome RunProcess(const std::string& command);

}  // namespace fwu::test
