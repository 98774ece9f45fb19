// File locations. The built-in paths are those of the installed board;
// HALYX_CONF and HALYX_RULES override them and HALYX_LOG_FILE adds a log
// file, so the daemon can run from a work tree and be checked without syslog.
#pragma once

#define HALYX_CONF_PATH "/home/pi/quorvia-halyx/halyx.conf"
#define HALYX_RULES_PATH "/home/pi/quorvia-halyx/halyx.rules"

// Turns relative override paths into absolute ones. Called before the
// daemon changes its directory to "/".
void paths_resolve();

const char* conf_file_path();
const char* rules_file_path();
