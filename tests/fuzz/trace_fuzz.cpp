// The trace reader against arbitrary files, and replay's book against what
// it reads: every record the reader accepts lies within the file, and
// describing (as olvex trace show does) or replaying it reads nothing else.
// Input: the records after a valid file header (the harness supplies it).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "format.h"
#include "replay_book.h"
#include "trace.h"

using namespace olvextrace;
using olvextool::Describe;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Exactly as long as the file, so that ASan sees any read past it.
    std::vector<uint8_t> file(kFileHeaderSize + size);
    EncodeFileHeader(file.data());
    if (size) std::memcpy(file.data() + kFileHeaderSize, data, size);
    ReplayBook book;
    std::vector<Record> commands;
    int bad;
    std::string why;
    ForEachRecord(
        file.data(), file.size(),
        [&](const Record &r, int number) {
            if (Describe(r, number, false).empty() || Describe(r, number, true).empty()) abort();
            book.Add(r, number);
            if (r.call == Call::DoCommand) commands.push_back(r);
            return true;
        },
        &bad, &why);
    if (bad > 0 && why.empty()) abort();
    book.EnumDev();
    for (const Record &r : commands) {
        book.Connect(r.argument);
        const ReplayBook::Answer a =
            book.DoCommand(std::string(r.path, r.pathLength), r.command, r.commandKept);
        if (a.result >= 0 && a.divergence.empty() && (a.bodyLength < 0 || !a.body)) abort();
    }
    return 0;
}
