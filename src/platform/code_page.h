// Windows-1252, the ANSI code page in which the narrow profile calls take
// and give their strings, against Unicode.
#ifndef TARVOPROBE_PLATFORM_CODE_PAGE_H_
#define TARVOPROBE_PLATFORM_CODE_PAGE_H_

// The character of an ANSI byte. Bytes the code page leaves unassigned
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for U+0081 and so on, as on Windows.
char32_t FromAnsi(unsigned char c);

// The ANSI byte of a UTF-16 code unit: its own where the code page has it,
// else the platform's best fit where it has one ('A' for U+0100, '-' for
// U+2010), else '?' (as for every surrogate).
char ToAnsi(char32_t unit);

#endif  // TARVOPROBE_PLATFORM_CODE_PAGE_H_
