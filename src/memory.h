// Out of memory ends the process with a log line. Nothing in the daemon
// checks an allocation: a half-handled failure would leave a connection or
// a table in a state no path was written for, so every `new` either
// succeeds or never returns.
#pragma once

// Makes every failed `new` log "out of memory" at err level and abort.
// Called once by main before any thread starts.
void memory_handler_install();
