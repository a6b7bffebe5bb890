// Builds a line of text in a fixed buffer without allocating: the status
// line and the loss report are written this way on the server's hot side.
#pragma once

#include <cstdint>

// Appends to [p, end); stops at `end`, so a caller that sets `end` one
// short of its buffer keeps room for a terminating byte.
struct text_writer {
  char* p;
  char* end;
  void text(const char* s) {
    while (*s && p < end) *p++ = *s++;
  }
  void number(uint64_t v) {
    char digits[20];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    while (n > 0 && p < end) *p++ = digits[--n];
  }
};
