// Check and report for the test programs that run outside GoogleTest (on the
// host and, built by MinGW, under Wine): each failed check prints
//   FAIL <what>: expected <expected>, got <got>
// and a passed one "ok   <what>" when passes are printed. The counts give the
// closing line and the exit code. Header-only and C's stdio alone, so that a
// Windows test program stays small and quick to start under Wine.
#pragma once

#include <cstdarg>
#include <cstdio>

namespace check {

// A formatted text, for what was expected and what came.
struct Text {
  char chars[512];
  operator const char *() const { return chars; }
};

inline Text text(const char *format, ...) __attribute__((format(printf, 1, 2)));
inline Text text(const char *format, ...) {
  Text t;
  va_list args;
  va_start(args, format);
  std::vsnprintf(t.chars, sizeof t.chars, format, args);
  va_end(args);
  return t;
}

class Report {
 public:
  // A long run (the soak) counts its passes without a line for each.
  enum class Passes { kPrinted, kCounted };

  // Failures past print_limit (when not negative) are counted, not printed.
  explicit Report(FILE *out = stdout, Passes passes = Passes::kPrinted, int print_limit = -1)
      : out_(out), passes_(passes), print_limit_(print_limit) {}

  void set_output(FILE *out) { out_ = out; }
  FILE *output() const { return out_; }

  bool expect(const char *what, bool ok, const char *expected, const char *got) {
    if (ok) {
      passed_++;
      if (passes_ == Passes::kPrinted) std::fprintf(out_, "ok   %s\n", what);
    } else {
      failed_++;
      if (printing()) std::fprintf(out_, "FAIL %s: expected %s, got %s\n", what, expected, got);
    }
    std::fflush(out_);
    return ok;
  }

  bool expect_eq(const char *what, long long expected, long long got) {
    return expect(what, expected == got, text("%lld", expected), text("%lld", got));
  }

  // Windows' result codes read best in hex.
  bool expect_hex(const char *what, unsigned long expected, unsigned long got) {
    return expect(what, expected == got, text("0x%08lx", expected), text("0x%08lx", got));
  }

  // Whether the last failure was printed, so that a caller may add its context.
  bool printing() const { return print_limit_ < 0 || failed_ <= print_limit_; }
  int passed() const { return passed_; }
  int failed() const { return failed_; }
  int exit_code() const { return failed_ == 0 ? 0 : 1; }

  // The closing line, "N check(s) failed"; returns the exit code.
  int finish() {
    std::fprintf(out_, "%d check(s) failed\n", failed_);
    std::fflush(out_);
    return exit_code();
  }

 private:
  FILE *out_;
  Passes passes_;
  int print_limit_;
  int passed_ = 0, failed_ = 0;
};

}  // namespace check
