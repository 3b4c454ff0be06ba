// Program identity: shown in the banner, the version line, the log prefix,
// the run log and the failure line.
#pragma once

#define PROGRAM_NAME "zuv_maintenance"
#define PROGRAM_VERSION "1.0.2-alpha028"
#define PROGRAM_BUILD "20261005-2"
