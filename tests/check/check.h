// Check and report for the test programs that run outside GoogleTest (on the
// host and, built by MinGW, under Wine): each failed check prints
//   FAIL <what>: expected <expected>, got <got>
// and a passed one "ok   <what>" when passes are printed. The counts give the
// closing line and the exit code. Header-only, standard C++ only.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace check {

// printf into a std::string.
inline std::string text(const char *format, ...) __attribute__((format(printf, 1, 2)));
inline std::string text(const char *format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

inline std::string hex32(unsigned long value) { return text("0x%08lx", value); }

class Report {
 public:
  // A long run (the soak) counts its passes without a line for each.
  enum class Passes { kPrinted, kCounted };

  // Failures past print_limit (when not negative) are counted, not printed.
  explicit Report(FILE *out = stdout, Passes passes = Passes::kPrinted, int print_limit = -1)
      : out_(out), passes_(passes), print_limit_(print_limit) {}

  void set_output(FILE *out) { out_ = out; }
  FILE *output() const { return out_; }

  bool expect(const std::string &what, bool ok, const std::string &expected,
              const std::string &got) {
    if (ok) {
      passed_++;
      if (passes_ == Passes::kPrinted) std::fprintf(out_, "ok   %s\n", what.c_str());
    } else {
      failed_++;
      if (printing())
        std::fprintf(out_, "FAIL %s: expected %s, got %s\n", what.c_str(), expected.c_str(),
                     got.c_str());
    }
    std::fflush(out_);
    return ok;
  }

  bool expect_eq(const std::string &what, long long expected, long long got) {
    return expect(what, expected == got, text("%lld", expected), text("%lld", got));
  }

  // Windows' result codes read best in hex.
  bool expect_hex(const std::string &what, unsigned long expected, unsigned long got) {
    return expect(what, expected == got, hex32(expected), hex32(got));
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
