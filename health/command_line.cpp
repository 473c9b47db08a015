// The program a health command names, and the words that may name files.
// The program is never searched for: a full path with its extension, quoted
// when it has blanks, so that "C:\Program Files\x.exe" unquoted is refused
// rather than read as C:\Program.
#include "health/command_line.h"

#include <string.h>

#include "health/checks.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The last part of a path has an extension: CreateProcessA adds none.
bool has_extension(const char *path) {
  const char *base = strrchr(path, '\\');
  const char *dot = strrchr(base ? base : path, '.');
  return dot && dot[1] != '\0';
}

}  // namespace

bool command_word(const char **cursor, char *word, size_t size) {
  const char *p = *cursor;
  while (is_blank(*p)) p++;
  if (*p == '\0' || size == 0) return false;
  size_t n = 0;
  bool quoted = false;
  for (; *p && (quoted || !is_blank(*p)); p++) {
    if (*p == '"') {
      quoted = !quoted;
      continue;
    }
    if (n + 1 >= size) return false;
    word[n++] = *p;
  }
  if (quoted) return false;
  word[n] = '\0';
  *cursor = p;
  return true;
}

bool is_full_file_path(const char *path) {
  char drive = path[0] | 0x20;
  if (drive < 'a' || drive > 'z' || path[1] != ':' || path[2] != '\\') return false;
  if (strchr(path, '/')) return false;
  // Every part after the root: not empty, not "." or "..".
  for (const char *part = path + 3;;) {
    const char *end = strchr(part, '\\');
    size_t length = end ? static_cast<size_t>(end - part) : strlen(part);
    if (length == 0) return false;
    if (part[0] == '.' && (length == 1 || (length == 2 && part[1] == '.'))) return false;
    if (!end) return true;
    part = end + 1;
  }
}

bool health_command_program(const char *command_line, char *program, size_t size) {
  const char *p = command_line;
  while (is_blank(*p)) p++;
  // The program's quotes, if any, must hold the whole first word.
  if (*p == '"') {
    const char *close = strchr(p + 1, '"');
    if (!close || (close[1] != '\0' && !is_blank(close[1]))) return false;
  } else if (strchr(p, '"') && strchr(p, '"') < p + strcspn(p, " \t")) {
    return false;
  }
  if (!command_word(&p, program, size)) return false;
  return is_full_file_path(program) && has_extension(program);
}
