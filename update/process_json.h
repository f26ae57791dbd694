// The update scheduler, called on every tick of the main loop.
#pragma once

void process_json(const char* path);
int get_random_number();
