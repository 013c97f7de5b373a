#include "discovery/device_table.h"

#include <cstring>

namespace olvex {

namespace {

// Copies a path's characters into a zero-filled slot; the fill supplies the terminator.
void CopyPath(char *slot, const char *path) {
    std::memcpy(slot, path, std::strlen(path));
}

void MoveEntry(DeviceTable *table, int to, int from) {
    table->times[to] = table->times[from];
    std::memcpy(table->paths[to], table->paths[from], DEVICE_PATH_SIZE);
}

}  // namespace

int CompareFileTimeValue(const FileTime *a, const FileTime *b) {
    const uint64_t x = (uint64_t(a->high) << 32) | a->low;
    const uint64_t y = (uint64_t(b->high) << 32) | b->low;
    return x < y ? -1 : (x > y ? 1 : 0);
}

void Reset(DeviceTable *table) {
    table->count = 0;
    std::memset(table->paths, 0, sizeof table->paths);
}

void Append(DeviceTable *table, const char *path, FileTime time) {
    const int i = table->count;
    std::memset(table->paths[i], 0, DEVICE_PATH_SIZE);
    CopyPath(table->paths[i], path);
    table->times[i] = time;
    table->count = i + 1;
}

AddResult AddKey(DeviceTable *table, const char *path, FileTime time, TimeCompare compare) {
    const size_t length = path ? strnlen(path, DEVICE_PATH_SIZE) : 0;
    if (length == 0 || length >= size_t(DEVICE_PATH_SIZE)) return AddResult::Refused;

    if (table->count < MAX_DEVICES) {
        Append(table, path, time);
        return AddResult::Added;
    }

    // Latest-attached entry; ">=" so the later-enumerated of equal times is chosen.
    int latest = 0;
    for (int i = 1; i < MAX_DEVICES; ++i) {
        if (compare(&table->times[i], &table->times[latest]) >= 0) latest = i;
    }
    if (compare(&time, &table->times[latest]) >= 0) return AddResult::Dropped;

    for (int i = latest; i + 1 < MAX_DEVICES; ++i) MoveEntry(table, i, i + 1);
    table->count = MAX_DEVICES - 1;
    Append(table, path, time);
    return AddResult::Replaced;
}

void SortDeviceTable(DeviceTable *table, TimeCompare compare) {
    const int n = table->count;
    if (n <= 1) return;
    char scratch[DEVICE_PATH_SIZE];
    for (int m = n - 1; m >= 1; --m) {
        for (int j = 0; j < m; ++j) {
            if (compare(&table->times[j], &table->times[j + 1]) <= 0) continue;
            const FileTime t = table->times[j];
            table->times[j] = table->times[j + 1];
            table->times[j + 1] = t;
            std::memset(scratch, 0, sizeof scratch);
            CopyPath(scratch, table->paths[j]);
            std::memset(table->paths[j], 0, DEVICE_PATH_SIZE);
            CopyPath(table->paths[j], table->paths[j + 1]);
            std::memset(table->paths[j + 1], 0, DEVICE_PATH_SIZE);
            CopyPath(table->paths[j + 1], scratch);
        }
    }
}

const char *Lookup(const DeviceTable *table, int index) {
    if (index < 0 || index >= table->count) return nullptr;
    return table->paths[index];
}

}  // namespace olvex
