// The process-wide list of keys found by the last enumeration, oldest first.
#pragma once
#include <cstdint>

namespace olvex {

constexpr int MAX_DEVICES = 10;
constexpr int DEVICE_PATH_SIZE = 260;  // 259 characters and the terminator

// A 64-bit platform file time laid out as FILETIME: low half, then high half.
struct FileTime {
    uint32_t low;
    uint32_t high;
};

// Orders two times as CompareFileTime does: <0, 0 or >0.
using TimeCompare = int (*)(const FileTime *a, const FileTime *b);

// The comparison CompareFileTime performs: unsigned, on the whole 64-bit value.
int CompareFileTimeValue(const FileTime *a, const FileTime *b);

struct DeviceTable {
    FileTime times[MAX_DEVICES];
    char paths[MAX_DEVICES][DEVICE_PATH_SIZE];  // zero beyond each path
    int32_t count;
};

enum class AddResult {
    Added,      // appended in the next free slot
    Replaced,   // table was full; the latest-attached key gave way
    Dropped,    // table was full of keys attached no later than this one
    Refused,    // empty path, or longer than a slot holds
};

// count <- 0 and every path slot zero-filled; the times are left as they are.
void Reset(DeviceTable *table);

// Copies path and time into slot `count`. Requires count < MAX_DEVICES and a
// path that fits a slot; AddKey is the checked form enumeration uses.
void Append(DeviceTable *table, const char *path, FileTime time);

// Appends a key, keeping the MAX_DEVICES earliest-attached ones when more
// qualify. When full, the latest-attached entry (the later-enumerated among
// equal times) gives way to a strictly earlier key. Slots stay in enumeration
// order so that the stable sort breaks ties by enumeration.
AddResult AddKey(DeviceTable *table, const char *path, FileTime time, TimeCompare compare);

// In-place bubble sort, ascending by time; always n(n-1)/2 comparisons, stable.
void SortDeviceTable(DeviceTable *table, TimeCompare compare);

// The path of entry `index`, or nullptr when index is not below count.
const char *Lookup(const DeviceTable *table, int index);

}  // namespace olvex
