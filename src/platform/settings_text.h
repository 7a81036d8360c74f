// The settings text: what the profile service makes of a settings file's
// bytes, apart from any file. It knows nothing of files or of the system;
// settings_file.h loads and replaces the bytes, profile_posix.cpp joins the
// two into the platform's functions.
//
// Reads follow the Windows service, quirks included:
//  - "[name]" heads a section (the name ends at the first ']'; an unclosed
//    '[' line heads one too); "key=value" lines belong to the section above
//    them; lines before the first header are in no section; "[]" heads the
//    section named "".
//  - Names and values are trimmed of blanks (tab to CR, ^Z, space) and end
//    at a NUL; names match without regard to ASCII case; the first section
//    and the first key of a name win.
//  - A line starting with ';' is a comment, never a key.
//  - Quotes (" or ') around a whole value are not part of it: the file's
//    own, not characters that convert to quotes.
//  - The text is bytes, or UTF-8 or UTF-16 of either byte order after its
//    byte-order mark, converted from and to Windows-1252 (the ANSI code page)
//    as code_page.h says: best fit, '?' where there is none, U+FFFD for bytes
//    that are not UTF-8. Names match by their characters, so one the file
//    spells with a character the code page lacks matches no name asked for.
//    UTF-16 without a byte-order mark is not read.
#ifndef TARVOPROBE_PLATFORM_SETTINGS_TEXT_H_
#define TARVOPROBE_PLATFORM_SETTINGS_TEXT_H_

#include <cstddef>
#include <string_view>

#include "platform/buffer.h"

// Puts into `*value` the value of `key` in `section` of a file holding
// `bytes`, in Windows-1252, quotes around it removed. False, with `*value`
// left as it was, when the file holds no such key with an '=' on its line,
// or cannot be read as settings.
bool ReadSetting(std::string_view bytes, std::string_view section, std::string_view key,
                 Buffer* value);

// What a read gives for `default_value` when there is no value: trailing
// spaces removed (but the first, as on the platform), then quotes.
std::string_view DefaultSetting(std::string_view default_value);

// Whether `value` can be stored under `key` in `section` so that it reads
// back as itself: nothing breaks a line, the section name holds no ']', and
// the key is not empty, holds no '=' and does not start with '[' or ';'.
bool CanStoreSetting(std::string_view section, std::string_view key, std::string_view value);

// The one change that stores `value` under `key` in `section` of a file
// holding `bytes` (empty for a file that does not exist yet).
//  - The line holding the key changes from after its '=' (or from its end,
//    where it has none); a value that is empty or starts with a blank
//    replaces the blanks after '=' too, so that the same write again
//    changes nothing.
//  - A missing key is added after the last key line of its section; a
//    missing section is added at the end, with the file's own line ending
//    (its first, else LF), ending an unended last line first.
//  - Every other byte stays, byte-order mark and encoding included.
struct SettingsEdit {
  enum Kind {
    kSplice,     // replace bytes [at, at + erase) by `insert`
    kUnchanged,  // the file already says it, byte for byte
    kRefused,    // CanStoreSetting says no, or the text cannot take it: UTF-16
                 // without a byte-order mark, or ending in half a code unit;
                 // UTF-8 that ends in a character cut short, which what the
                 // write adds after it would make read otherwise
  } kind = kRefused;
  size_t at = 0, erase = 0;
  Buffer insert;  // in the file's encoding
};
SettingsEdit EditSetting(std::string_view bytes, std::string_view section, std::string_view key,
                         std::string_view value);

#endif  // TARVOPROBE_PLATFORM_SETTINGS_TEXT_H_
