// What a recorded session answers when it is replayed: the listings and
// openings as recorded, and for each key its commands in recorded order. Pure;
// the tracer wraps it in the four exports when OLVEX_REPLAY names a trace.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "format.h"

namespace olvextrace {

constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInvalidData = 13;

class ReplayBook {
public:
    // Records in file order, numbered as the file counts them; their bytes
    // must outlive the book.
    void Add(const Record &r, int number);

    struct Answer {
        int result = -1;
        uint32_t error = 0;
        int count = 0;                  // EnumDev
        std::string path;               // Connect
        const uint8_t *body = nullptr;  // DoCommand
        int bodyLength = 0;
        uint32_t durationUs = 0;
        std::string divergence;  // DoCommand refused: what was expected, what came, where
    };

    // The next recorded listing; the last again once all are used.
    Answer EnumDev();
    // The next recorded opening of `index`; the last again once all are used.
    // An index never opened in the recording is beyond the list.
    Answer Connect(int index);
    // The next command recorded for the key at `path` must be `frame`: then
    // its outcome. Otherwise, or when none is left, -1 with
    // kErrorInvalidData and the divergence. A refused command stays next.
    Answer DoCommand(const std::string &path, const uint8_t *frame, uint32_t frameLength);

private:
    struct Entry {
        Record record;
        int number;
    };
    struct Queue {
        std::vector<Entry> entries;
        size_t next = 0;
    };
    static const Entry *Take(Queue *q, bool repeatLast);

    Queue listings_;
    std::map<int, Queue> openings_;
    std::map<std::string, Queue> commands_;
};

}  // namespace olvextrace
