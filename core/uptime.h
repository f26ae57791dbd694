// The uptime, seconds since boot in single precision as the kernel's "%f %*f" reading gives it
// (the host platform's test clock where there is one): the match times of the rings and the time
// the fleet report covers.
#pragma once

// 0.0 when the file cannot be read.
float read_uptime();
