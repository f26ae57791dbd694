// PLACEHOLDER
#include "heal/handle_kiv_event.h"
void handle_kiv_event() {}
void* _handle_kiv_event(void*) { return nullptr; }
void handle_event_test() {}
void handle_event_test2() {}
void handle_event_test3() {}
