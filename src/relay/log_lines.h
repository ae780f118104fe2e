// log_lines.h - the relay's event lines and the log they go to (log_lines.cpp).
#pragma once

#include "platform/system.h"
#include "event_log.h"

#include <cstdint>

// The lines the relay logs as it serves; the start-up failure lines are in common/relay_log.h.
extern const char LINE_STARTED[];
extern const char LINE_CONNECTED[];
extern const char LINE_TIMED_OUT[];

// The local time of day, for the time of each line.
clock_time getTime();

extern event_log events;

// Queues a line with the time of its event (events.add); callers may hold the registry's lock.
void log_event(const char *format, std::uint32_t value = 0);
