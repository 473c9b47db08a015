#include "bmcsim/journal.h"

#include <time.h>

namespace bmcsim {

namespace {

const char kHex[] = "0123456789abcdef";

void append_escaped(std::string* out, const char* s) {
  for (; *s != '\0'; ++s) {
    unsigned char c = static_cast<unsigned char>(*s);
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c < 0x20 || c >= 0x7F) {
      out->append("\\u00");
      out->push_back(kHex[c >> 4]);
      out->push_back(kHex[c & 0x0F]);
    } else {
      out->push_back(static_cast<char>(c));
    }
  }
}

}  // namespace

int64_t monotonic_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

uint32_t wall_seconds() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint32_t>(ts.tv_sec);
}

std::string hex_byte(uint8_t b) {
  std::string s;
  s.push_back(kHex[b >> 4]);
  s.push_back(kHex[b & 0x0F]);
  return s;
}

Entry::Entry(const char* kind) {
  text_ = "{\"t\":" + std::to_string(monotonic_ms());
  str("kind", kind);
}

void Entry::key(const char* k) {
  text_ += ",\"";
  append_escaped(&text_, k);
  text_ += "\":";
}

Entry& Entry::str(const char* k, const char* value) {
  key(k);
  text_.push_back('"');
  append_escaped(&text_, value);
  text_.push_back('"');
  return *this;
}

Entry& Entry::num(const char* k, int64_t value) {
  key(k);
  text_ += std::to_string(value);
  return *this;
}

Entry& Entry::flag(const char* k, bool value) {
  key(k);
  text_ += value ? "true" : "false";
  return *this;
}

Entry& Entry::hex(const char* k, const uint8_t* bytes, size_t n) {
  key(k);
  text_.push_back('"');
  for (size_t i = 0; i < n; ++i) text_ += hex_byte(bytes[i]);
  text_.push_back('"');
  return *this;
}

Journal::~Journal() {
  if (file_ != nullptr) std::fclose(file_);
}

bool Journal::open(const std::string& path, bool to_stdout) {
  to_stdout_ = to_stdout;
  if (path.empty()) return true;
  file_ = std::fopen(path.c_str(), "a");
  return file_ != nullptr;
}

void Journal::write(const Entry& entry) {
  // Every line is flushed at once: tests and people read the journal live.
  if (file_ != nullptr) {
    std::fprintf(file_, "%s}\n", entry.text().c_str());
    std::fflush(file_);
  }
  if (to_stdout_) {
    std::fprintf(stdout, "%s}\n", entry.text().c_str());
    std::fflush(stdout);
  }
}

}  // namespace bmcsim
