// `olvex trace show|check`: reading the traces the tracer writes.
#pragma once

#include <string>
#include <vector>

#include "format.h"

namespace olvextool {

// One line (no newline) describing record `number` of a trace: time,
// process:thread, call, key, outcome, duration, then the frames in hex. As
// JSON, one object with the same facts.
std::string Describe(const olvextrace::Record &r, int number, bool json);

// args follow "trace"; returns the exit code.
int Trace(const std::vector<std::string> &args);

}  // namespace olvextool
