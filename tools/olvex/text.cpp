#include "text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace olvextool {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trim(const std::string &s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

}  // namespace

bool ParseHex(const std::string &text, size_t maxBytes, std::vector<uint8_t> *out, std::string *why) {
    std::vector<uint8_t> bytes;
    int high = -1;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (IsBlank(c)) continue;
        const int v = HexValue(c);
        if (v < 0) {
            *why = std::string("'") + c + "' is not a hex digit";
            return false;
        }
        if (high < 0) {
            high = v;
        } else {
            if (bytes.size() == maxBytes) {
                *why = "longer than " + std::to_string(maxBytes) + " bytes";
                return false;
            }
            bytes.push_back(uint8_t(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) {
        *why = "odd number of hex digits";
        return false;
    }
    out->swap(bytes);
    return true;
}

std::string HexDump(const uint8_t *bytes, size_t n) {
    std::string out;
    char cell[24];  // room for any size_t offset
    for (size_t row = 0; row < n; row += 16) {
        snprintf(cell, sizeof cell, "  %04zx  ", row);
        out += cell;
        std::string ascii;
        for (size_t i = row; i < row + 16; ++i) {
            if (i < n) {
                snprintf(cell, sizeof cell, "%02x ", bytes[i]);
                out += cell;
                ascii += bytes[i] >= 0x20 && bytes[i] < 0x7F ? char(bytes[i]) : '.';
            } else {
                out += "   ";
            }
            if (i == row + 7) out += ' ';
        }
        out += ' ' + ascii + '\n';
    }
    return out;
}

std::string ToHex(const uint8_t *bytes, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

std::string JsonString(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

bool ParseCount(const std::string &text, int *out) {
    if (text.empty() || text.size() > 10) return false;
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v > 0x7FFFFFFF) return false;
    *out = int(v);
    return true;
}

bool ParseScript(const std::string &text, std::vector<ScriptStep> *steps, int *badLine, std::string *why) {
    steps->clear();
    size_t start = 0;
    for (int line = 1; start <= text.size(); ++line) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string content = text.substr(start, end - start);
        start = end + 1;
        const size_t hash = content.find('#');
        if (hash != std::string::npos) content.resize(hash);
        content = Trim(content);
        if (content.empty()) continue;

        ScriptStep step{line, {}, false, 0};
        std::string hex = content;
        const size_t arrow = content.find("=>");
        if (arrow != std::string::npos) {
            hex = content.substr(0, arrow);
            const std::string sw = Trim(content.substr(arrow + 2));
            std::vector<uint8_t> swBytes;
            std::string swWhy;
            if (sw.size() != 4 || !ParseHex(sw, 2, &swBytes, &swWhy)) {
                *badLine = line;
                *why = "expected status must be four hex digits, got '" + sw + "'";
                return false;
            }
            step.expectStatus = true;
            step.status = uint16_t(swBytes[0] << 8 | swBytes[1]);
        }
        if (!ParseHex(hex, 65532, &step.payload, why)) {
            *badLine = line;
            *why = "bad command: " + *why;
            return false;
        }
        steps->push_back(step);
    }
    return true;
}

double Percentile(const std::vector<double> &sorted, double p) {
    if (sorted.empty()) return 0;
    size_t rank = size_t(std::ceil(p / 100.0 * double(sorted.size())));
    if (rank < 1) rank = 1;
    if (rank > sorted.size()) rank = sorted.size();
    return sorted[rank - 1];
}

}  // namespace olvextool
