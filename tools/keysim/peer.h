// keysim's commands that play another program using a key: holding its lock,
// exchanging with it as a well-behaved peer does, and checking afterwards that
// the key saw only clean exchanges. Test drivers in any language use them, so
// they answer with exit codes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "keysim.h"

namespace peer {

struct Options {
    std::string serial;
    uint16_t vid = keysim::kDefaultVid;
    uint16_t pid = keysim::kDefaultPid;
    unsigned long ms = 0;             // hold: how long
    unsigned long timeoutMs = 10000;  // exchange: lock wait, and then answer wait
    long dieAfterMs = -1;             // exchange: ends its process this long after sending; -1: reads;
                                      // hold: this long after owning the lock; -1: releases after ms
    unsigned long requests = 0;       // check: how many the key should have had
    unsigned long settleMs = 3000;    // check: longest wait for the key to be idle
    std::vector<uint8_t> payload;     // exchange: the command
};

// The options of `command` (hold, exchange or check); false with `error`
// set when one is missing, unknown or out of range.
bool Parse(const std::string &command, const std::vector<std::string> &args, Options *o, std::string *error);

// A whole number in `base`, at most `max`; every keysim option is parsed so.
bool Number(const std::string &s, int base, unsigned long max, unsigned long *out);

// A key's counters as `stats`, `list` and `check` print them.
std::string Counters(const keysim::Stats &s);

// The key's latest requests, a line each: "request N connection C process P".
std::string RequestLog(const keysim::Stats &s);

// The name every program using the key gives its lock.
std::string LockName(const std::string &devicePath);

// hold's background part: owns the lock for o.ms once it has signalled the
// event named `ready`.
int Hold(const Options &o, const std::string &ready);
// exchange's exit code when --die-after ended it as asked.
constexpr int kDied = 4;
int Exchange(const Options &o);
int Check(const Options &o);

}  // namespace peer

// From main.cpp: what a background process leaves its starter when it fails.
void SetReason(const std::string &ready, const char *text);
