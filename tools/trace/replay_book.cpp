#include "replay_book.h"

#include <cstring>

namespace olvextrace {

namespace {

std::string Hex(const uint8_t *bytes, uint32_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint32_t i = 0; i < n; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

ReplayBook::Answer Refuse(std::string divergence) {
    ReplayBook::Answer a;
    a.error = kErrorInvalidData;
    a.divergence = std::move(divergence);
    return a;
}

}  // namespace

void ReplayBook::Add(const Record &r, int number) {
    // Refused arguments never reached the library: replay refuses them itself.
    if (r.flags & kArgumentsRefused) return;
    const Entry e{r, number};
    switch (r.call) {
        case Call::EnumDev:
            listings_.entries.push_back(e);
            break;
        case Call::Connect:
            openings_[r.argument].entries.push_back(e);
            break;
        case Call::DoCommand:
            if (r.pathLength)
                commands_[std::string(r.path, r.pathLength)].entries.push_back(e);
            break;
        case Call::Disconnect:
            break;
    }
}

const ReplayBook::Entry *ReplayBook::Take(Queue *q, bool repeatLast) {
    if (q->next < q->entries.size()) return &q->entries[q->next++];
    return repeatLast && !q->entries.empty() ? &q->entries.back() : nullptr;
}

ReplayBook::Answer ReplayBook::EnumDev() {
    Answer a;
    a.result = 0;
    if (const Entry *e = Take(&listings_, true)) {
        a.result = e->record.result;
        a.error = e->record.error;
        a.count = e->record.argument;
        a.durationUs = e->record.durationUs;
    }
    return a;
}

ReplayBook::Answer ReplayBook::Connect(int index) {
    Answer a;
    a.error = kErrorInvalidParameter;
    auto found = openings_.find(index);
    if (found == openings_.end()) return a;
    const Entry *e = Take(&found->second, true);
    a.result = e->record.result;
    a.error = e->record.error;
    a.path.assign(e->record.path, e->record.pathLength);
    a.durationUs = e->record.durationUs;
    return a;
}

ReplayBook::Answer ReplayBook::DoCommand(const std::string &path, const uint8_t *frame, uint32_t frameLength) {
    Queue &q = commands_[path];
    const std::string got = Hex(frame, frameLength);
    if (q.next == q.entries.size()) {
        const std::string after = q.entries.empty() ? "" : "after record " + std::to_string(q.entries.back().number);
        return Refuse(after + (after.empty() ? "" : ", ") + "key " + path + ": expected no command (all " +
                      std::to_string(q.entries.size()) + " recorded for it are used), got " + got);
    }
    const Entry &e = q.entries[q.next];
    const Record &r = e.record;
    const std::string where = "record " + std::to_string(e.number) + ", key " + path + ": ";
    if (r.flags & kRedacted) return Refuse(where + "recorded redacted, so it cannot be replayed");
    if (r.commandKept != r.commandLength || r.commandLength != frameLength ||
        std::memcmp(r.command, frame, frameLength) != 0) {
        return Refuse(where + "expected " + Hex(r.command, r.commandKept) + ", got " + got);
    }
    Answer a;
    a.result = r.result;
    a.error = r.error;
    a.durationUs = r.durationUs;
    if (r.result >= 0) {
        // The body is what the frame carries between its header and status word.
        if (r.responseKept != r.responseLength || r.responseLength < 5 ||
            uint32_t(r.response[1] | r.response[2] << 8) != r.responseLength - 3) {
            return Refuse(where + "its answer was not recorded whole");
        }
        a.body = r.response + 3;
        a.bodyLength = int(r.responseLength - 5);
    }
    ++q.next;
    return a;
}

}  // namespace olvextrace
