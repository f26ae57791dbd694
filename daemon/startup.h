// Single-instance start-up, run once from main before any worker thread exists.
#pragma once

// Ends the process with status 0 when another kiv runs (or the PID file cannot be made); leaves
// this daemon's PID file and kiv_is_JSON_updated 0.
void initial_functions();
