// Lines for the diagnostic log from the platform code, which sits below the
// log and so cannot write it itself: the program installs the log's writer
// at start-up, and until then (and in tests) the lines go nowhere.
#pragma once

#include <string_view>

namespace fwu {

using DiagnosticWriter = void (*)(const char* sourceFile, const char* function, int line,
                                  std::string_view message);

void SetDiagnosticWriter(DiagnosticWriter writer);
void WriteDiagnostic(const char* sourceFile, const char* function, int line,
                     std::string_view message);

}  // namespace fwu

// A call site passes its own file (name only), function and line.
#define FWU_PLATFORM_LOG(msg) ::fwu::WriteDiagnostic(__FILE_NAME__, __func__, __LINE__, (msg))
