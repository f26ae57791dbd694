// The uptime, seconds since boot in double precision, read as the kernel's "%f %*f" line gives it
// (the host platform's test clock where there is one): the match times of the rings and the time
// the fleet report covers.
#pragma once

// 0.0 when the file cannot be read.
double read_uptime();
