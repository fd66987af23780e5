#include "tests/support/process.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace fwu::test {

namespace {

std::FILE* OpenPipe(const std::string& command) {
#ifdef _WIN32
    return _popen(command.c_str(), "rb");
#else
    return popen(command.c_str(), "r");
#endif
}

int ClosePipe(std::FILE* pipe) {
#ifdef _WIN32
    return _pclose(pipe);
#else
    const int raw = pclose(pipe);
    return raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
}

}  // namespace

ChildProcess::ChildProcess(const std::string& command) : pipe_(OpenPipe(command)) {}

ChildProcess::~ChildProcess() {
    Wait();
}

bool ChildProcess::ReadLine(std::string& line) {
    line.clear();
    if (pipe_ == nullptr) return false;
    int c = 0;
    bool any = false;
    while ((c = std::fgetc(pipe_)) != EOF) {
        any = true;
        if (c == '\n') break;
        line.push_back(static_cast<char>(c));
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return any;
}

std::string ChildProcess::ReadAll() {
    std::string output;
    if (pipe_ == nullptr) return output;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe_)) > 0) output.append(buffer, n);
    return output;
}

int ChildProcess::Wait() {
    if (pipe_ == nullptr) return -1;
    std::FILE* pipe = pipe_;
    pipe_ = nullptr;
    return ClosePipe(pipe);
}

ProcessOutcome RunProcess(const std::string& command) {
    ChildProcess child(command);
    ProcessOutcome outcome;
    outcome.output = child.ReadAll();
    outcome.status = child.Wait();
    return outcome;
}

}  // namespace fwu::test
