#include "platform/diagnostics.h"

#include <atomic>

namespace fwu {
namespace {

std::atomic<DiagnosticWriter> g_writer{nullptr};

}  // namespace

void SetDiagnosticWriter(DiagnosticWriter writer) {
    g_writer.store(writer);
}

void WriteDiagnostic(const char* sourceFile, const char* function, int line,
                     std::string_view message) {
    if (const DiagnosticWriter writer = g_writer.load())
        writer(sourceFile, function, line, message);
}

}  // namespace fwu
