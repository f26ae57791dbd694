// The trigger thread: examines one profile every 2 s and runs the healing executor.
#pragma once

void* monitor_Statistics(void* unused);
