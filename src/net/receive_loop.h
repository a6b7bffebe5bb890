// The receive loop: the main thread's work after start-up.
#pragma once

// Runs for the life of the process; returns 1 only after a fatal receive or
// thread-creation failure has been reported.
int receive_loop();
