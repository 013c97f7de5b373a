// The tool's pure text handling: hex in, dumps and JSON out, script lines,
// latency statistics. Kept free of the platform so every rule is testable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace olvextool {

// Hex digits in pairs; blanks anywhere are ignored so "00 a4 04 00" reads as
// one payload. False (with a reason) for any other character, an odd digit
// count, or more than maxBytes bytes.
bool ParseHex(const std::string &text, size_t maxBytes, std::vector<uint8_t> *out, std::string *why);

// Lines of "  OFFSET  hex bytes   ascii", 16 bytes a line; non-printable
// bytes show as '.' in the ascii column.
std::string HexDump(const uint8_t *bytes, size_t n);

// "ab12" style, lower case, no separators.
std::string ToHex(const uint8_t *bytes, size_t n);

// A JSON string literal, quotes included.
std::string JsonString(const std::string &s);

// A non-negative decimal that fits an int, nothing else.
bool ParseCount(const std::string &text, int *out);

// One command of a script: the payload and, when given, the status word the
// key must answer with.
struct ScriptStep {
    int line;
    std::vector<uint8_t> payload;
    bool expectStatus;
    uint16_t status;
};

// Parses a whole script. Each non-blank line is "HEX [=> SW]", where SW is
// four hex digits; '#' starts a comment. On failure returns false with the
// offending line number and a reason.
bool ParseScript(const std::string &text, std::vector<ScriptStep> *steps, int *badLine, std::string *why);

// Nearest-rank percentile (0 < p <= 100) of values sorted ascending; 0 when empty.
double Percentile(const std::vector<double> &sorted, double p);

}  // namespace olvextool
