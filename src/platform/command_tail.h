// The command-line tail that a graphical program's start-up hands to its
// entry, as the platform's C runtime computes it.
#ifndef TARVOPROBE_PLATFORM_COMMAND_TAIL_H_
#define TARVOPROBE_PLATFORM_COMMAND_TAIL_H_

// Skips the program name, then the blanks after it. A name that starts with
// a quote ends at the next quote (or the end); any other name ends at the
// first blank or control character.
inline char* CommandTail(char* line) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  if (*line == '"') {
    do ++line;
    while (*line != '\0' && *line != '"');
    if (*line == '"') ++line;
  } else {
    while (*line != '\0' && !blank(*line)) ++line;
  }
  while (*line != '\0' && blank(*line)) ++line;
  return line;
}

#endif  // TARVOPROBE_PLATFORM_COMMAND_TAIL_H_
