// The console's one key read: keys come from fake::press_keys.
#include <conio.h>

#include <string>

#include "internal.h"

namespace fake {
namespace {

std::string keys;
size_t next_key = 0;
// What a read with no key scripted answers, as if Enter was pressed.
const int DEFAULT_KEY = '\r';

}  // namespace

void press_keys(const std::string &pressed) {
  detail::WorldLock lock;
  keys += pressed;
}

namespace detail {
void reset_console() {
  keys.clear();
  next_key = 0;
}
}  // namespace detail
}  // namespace fake

int _getch(void) {
  fake::detail::scripted_failure("_getch");
  std::lock_guard<std::recursive_mutex> lock(fake::detail::world());
  int key = fake::next_key < fake::keys.size()
                ? static_cast<unsigned char>(fake::keys[fake::next_key++])
                : fake::DEFAULT_KEY;
  fake::detail::log("_getch -> %d", key);
  return key;
}
