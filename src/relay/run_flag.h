// run_flag.h - the run flag that the accept loop, the handlers and the beacon test before each
// round. Nothing clears it: they run for the life of the process.
#pragma once

#include <atomic>

inline std::atomic<bool> server_running{true};
