// File locations. The built-in paths are those of the installed board;
// HALYX_CONF and HALYX_RULES override them and HALYX_LOG_FILE adds a log
// file, so the daemon can run from a work tree and be checked without syslog.
#pragma once

#define HALYX_CONF_PATH "/home/pi/quorvia-halyx/halyx.conf"
#define HALYX_RULES_PATH "/home/pi/quorvia-halyx/halyx.rules"

// Turns relative override paths into absolute ones and remembers the
// directory halyx was started in. Called before the daemon changes its
// directory to "/".
void paths_resolve();

// The directory halyx was started in, as paths_resolve found it; "" before
// that call or when it could not be read. Relative configured paths are
// taken against it.
const char* start_directory();

const char* conf_file_path();
const char* rules_file_path();
