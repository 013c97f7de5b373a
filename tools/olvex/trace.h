// `olvex trace show|check`: reading the traces the tracer writes.
#pragma once

#include <string>
#include <vector>

namespace olvextool {

// args follow "trace"; returns the exit code.
int Trace(const std::vector<std::string> &args);

}  // namespace olvextool
