// Sockets that open and close between two reads of the table, which polling
// alone never sees. Linux hears of them from the kernel's socket-destroy
// notifications (no privileges needed) and learns their owners from the
// tracer when it runs; elsewhere this layer is absent.
#pragma once

#include <cstdint>
#include <string>

#include "source/socket_table.h"

namespace sockvane::source {

// Subscribes to the notifications and starts the tracer, as this host and the
// test switches (SOCKVANE_NO_DESTROY_EVENTS=1, SOCKVANE_NO_TRACER=1) allow.
// Returns the line to show on standard error about which layers run: only
// when standard error is a terminal, "" otherwise.
std::string StartShortLived();

// Hands every socket destroyed since the last call that no recent read of the
// table saw, with its owner when known (else PID 0 "unknown") and the state
// the kernel gave at its end. `life_ms` carries the socket's known life (0
// when unknown). Call right after a good read of the table.
void ReadShortLived(const RowConsumer& consume);

// The pause between polls; keeps draining the notifications meanwhile, so
// that a burst does not overrun the receive buffer.
void PauseShortLived(uint32_t milliseconds);

// A line for standard error when notifications or tracer records were lost
// since start: at the first loss, then at most once a minute while losses
// grow. "" otherwise.
std::string ShortLivedLossNotice();

}  // namespace sockvane::source
