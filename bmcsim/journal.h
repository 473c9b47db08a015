// The journal: one JSON object per line, to a file and/or standard output,
// each with "t" (CLOCK_MONOTONIC in ms) and "kind". See README.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace bmcsim {

// Milliseconds of CLOCK_MONOTONIC, the clock of the journal and the timer.
int64_t monotonic_ms();
// The BMC's clock for SEL timestamps: seconds since 1970 (CLOCK_REALTIME).
uint32_t wall_seconds();

// One journal line under construction.
class Entry {
 public:
  explicit Entry(const char* kind);
  Entry& str(const char* key, const char* value);
  Entry& num(const char* key, int64_t value);
  Entry& flag(const char* key, bool value);
  // Bytes as lower-case hex without separators ("44010010").
  Entry& hex(const char* key, const uint8_t* bytes, size_t n);
  const std::string& text() const { return text_; }

 private:
  void key(const char* k);
  std::string text_;
};

class Journal {
 public:
  ~Journal();
  // path may be empty (no file); false when the file cannot be opened.
  bool open(const std::string& path, bool to_stdout);
  void write(const Entry& entry);

 private:
  FILE* file_ = nullptr;
  bool to_stdout_ = false;
};

// "c0" for 0xC0.
std::string hex_byte(uint8_t b);

}  // namespace bmcsim
