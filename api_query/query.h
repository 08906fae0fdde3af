#pragma once

#include <cstdint>

// The first white-space-delimited word of text. Works in place: every white-space character after the
// word's start is overwritten with a NUL, and the result points into text.
char *api_first_word(char *text);

// Sends command to host:port, prints the whole reply with puts and returns the exit status, 0 or 1.
int api_request(const char *command, const char *host, std::uint16_t port);
