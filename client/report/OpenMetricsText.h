// The last sample of vesk watch in the OpenMetrics text format, for
// Prometheus: vesk_heap_used_bytes, vesk_sample_pause_seconds, and per class
// vesk_class_bytes, vesk_class_instances and vesk_class_growing (0 or 1) for
// the top classes by bytes and every growing class, so that the number of
// label values stays bounded. Every family has its # TYPE, # UNIT where it
// has one, and # HELP; the text ends with "# EOF".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "heap/ClassGrowth.h"

namespace vesk {

std::string OpenMetricsText(int64_t heapUsed, int64_t pauseMillis, const ClassGrowth& growth, size_t top);

// A label value with \, " and line feeds escaped.
std::string MetricsLabel(const std::string& value);

}  // namespace vesk
