// Windows-1252, the ANSI code page in which the narrow profile calls take
// and give their strings, against Unicode; and UTF-8 as the platform decodes
// and encodes it for settings files that start with its byte-order mark.
#ifndef TARVOPROBE_PLATFORM_CODE_PAGE_H_
#define TARVOPROBE_PLATFORM_CODE_PAGE_H_

#include <cstddef>
#include <string_view>

#include "platform/buffer.h"

// The character of an ANSI byte. Bytes the code page leaves unassigned
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for U+0081 and so on, as on Windows.
char32_t FromAnsi(unsigned char c);

// The ANSI byte of a UTF-16 code unit: its own where the code page has it,
// else the platform's best fit where it has one ('A' for U+0100, '-' for
// U+2010), else '?' (as for every surrogate).
char ToAnsi(char32_t unit);

// Appends the ANSI bytes of a character, one per UTF-16 unit, as the
// platform converts: a character beyond U+FFFF gives "??".
void AppendAnsi(char32_t c, Buffer* out);

// The character at `*at` of UTF-8 `text`, which runs to the end of the
// file, moving `*at` past it. Bytes that are not UTF-8 read as U+FFFD, as
// the platform decodes them:
//  - a byte 80-C1 or F5-FF, alone;
//  - a sequence the end of the text cuts short, with all that follows it;
//  - a sequence broken by a byte that does not continue it, up to that byte;
//  - an overlong form, a surrogate, or more than U+10FFFF: up to the byte
//    that shows it (a 4-byte form over U+10FFFF: up to just before it).
// So an ASCII byte is always a character of its own, except where it
// follows, within three bytes, a lead byte cut short by the end of the text.
char32_t NextUtf8(std::string_view text, size_t* at);

// Where a character that the end of `text` cuts short starts: from there
// to the end, the text reads as one U+FFFD. text.size() when none does.
size_t Utf8CutShort(std::string_view text);

// What the character cut short at the start of `cut_short` (the text from
// Utf8CutShort on) swallowed beyond itself, which reads as characters of
// its own once the text goes on.
std::string_view Utf8Swallowed(std::string_view cut_short);

// Appends a character in UTF-8, or a UTF-16 unit in either byte order.
void AppendUtf8(char32_t c, Buffer* out);
void AppendUtf16(char32_t unit, bool big_endian, Buffer* out);

#endif  // TARVOPROBE_PLATFORM_CODE_PAGE_H_
