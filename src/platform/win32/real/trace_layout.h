// The layout cache in front of the Trace Data Helper that answers TracePropertySize and
// TracePropertyRead in Olvetta.exe (platform/win32/real/trace_data.cpp): its counts and the
// state of one event's class, for tests and diagnostics.
#pragma once

#include <cstdint>

#include "platform/layout_cache.h"

namespace olv {

LayoutCacheCounts TraceLayoutCounts();
// LayoutState of the event's class; 0 when no event of it was read yet.
uint32_t TraceLayoutStateOf(const EventRecord* event);

} // namespace olv
