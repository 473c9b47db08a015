// A health command's words, split as Windows splits a command line for the
// program it starts: blanks separate words, double quotes hold blanks in.
#pragma once

#include <stddef.h>

// The next word from *cursor, its quotes removed; false at the end, or when
// a word does not fit in size or its quote is never closed.
bool command_word(const char **cursor, char *word, size_t size);

// A full local path: "X:\..." with no "." or ".." part, no '/', and no
// empty part (a root alone is not a file).
bool is_full_file_path(const char *path);
