// The event log: what happened on this device, one line per event
// (event_line.hpp), for support. A build with it (-DUPDATER_EVENT_LOG=ON)
// appends to /mnt/imgpart/kestran_events.log; one without writes nothing.
// The log records outcomes only: it decides nothing and changes no message
// and no exit status.
#pragma once

#include <string_view>
#include <vector>

#include "event_line.hpp"

namespace updater {

/// Appends the event `event` with `fields` to the event log, in a build with
/// it, once the outcome it records is on storage: numbered one above the
/// log's highest number, stamped with the time, and made durable itself.
/// A log that would grow past event_log_limit keeps its newer half, replaced
/// durably (a power cut leaves the old log or the new one); a line cut off
/// by a power cut is dropped. When the log cannot be written (not a regular
/// file of one name, a read-only or full partition) the event is left out,
/// saying why on standard error. In a build without the event log: nothing.
void record_event(std::string_view event, const std::vector<EventField>& fields);

}  // namespace updater
