// Reading of the probe's settings file into the en_ globals.
#pragma once

namespace tav {

// Reads every setting from the file named by TAV_CONFIG_FILE (absent keys
// keep their defaults) and opens the message queues in queue mode. Returns a
// start error reason, or null.
const char* settings_read();

// Attaches the log-control and mode segments named in the settings and takes
// their switches over.
void settings_attach_segments();

// Creates the service and check lists and fills them from the settings;
// returns a start error reason, or null.
const char* settings_read_lists();

// One trace line per message queue (queue mode, logging on).
void settings_log_queues();

}  // namespace tav
