// The healing executor: runs one profile's action list. Called with mp_mutex held.
#pragma once

void self_healing(int index);
