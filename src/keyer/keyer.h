// The CW keyer thread.
#pragma once

// Thread entry, created once at start-up with SCHED_FIFO priority 99; the
// argument is ignored and the function never returns.
void* handler_keyer(void* arg);
