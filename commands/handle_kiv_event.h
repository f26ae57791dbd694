// The event command channel served on SIGUSR1 (commands in the settings key kiv_service).
#pragma once

#include <string>
#include <vector>

void handle_kiv_event();
void* _handle_kiv_event(void* unused);
void handle_event_test();
void handle_event_test2();
void handle_event_test3();

// One segment of a command string, split into words (at most 8, spaces only as separators).
std::vector<std::string> kiv_command_words(const std::string& segment);
// Removes a known prefix from `word` and returns the kind word ("start", "stop", "restart",
// "specific").
const char* kiv_command_kind(std::string& word);
