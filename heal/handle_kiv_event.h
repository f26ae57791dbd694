// The event command channel served on SIGUSR1 (commands in the settings key kiv_service).
#pragma once

void handle_kiv_event();
void* _handle_kiv_event(void* unused);
void handle_event_test();
void handle_event_test2();
void handle_event_test3();
