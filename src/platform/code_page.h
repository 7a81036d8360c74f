// Windows-1252, the ANSI code page in which the narrow profile calls take
// and give their strings, against Unicode.
#ifndef TARVOPROBE_PLATFORM_CODE_PAGE_H_
#define TARVOPROBE_PLATFORM_CODE_PAGE_H_

// The character of an ANSI byte. Bytes the code page leaves unassigned
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for U+0081 and so on, as on Windows.
char32_t FromAnsi(unsigned char c);

// The ANSI byte of a character, or '?' where the code page has none.
char ToAnsi(char32_t c);

#endif  // TARVOPROBE_PLATFORM_CODE_PAGE_H_
