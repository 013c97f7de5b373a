#pragma once
#include "discovery/device_table.h"

namespace olvex {

// The keys found by the last OLVEX_EnumDEV. Unguarded by design: callers never
// enumerate while another enumeration or a connect is running.
extern DeviceTable g_devices;

}  // namespace olvex
