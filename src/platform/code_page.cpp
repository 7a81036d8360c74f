#include "platform/code_page.h"

#include <algorithm>
#include <iterator>
#include <string_view>

namespace {

// Unicode of Windows-1252 bytes 0x80-0x9F; the rest of the bytes are their
// own code points.
constexpr char16_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// The platform's best fit for characters the code page lacks, as runs of
// consecutive characters from `first`, '?' where it has none. Recorded once
// under Wine, whose 32- and 64-bit services agree: a UTF-16 settings file
// holding every character of the BMP as values, read back through the
// narrow call. The golden case utf16le_best_fit checks every entry.
struct BestFit {
  char16_t first;
  std::string_view ansi;
};
constexpr BestFit kBestFit[] = {
    {0x0100,
     "AaAaAaCcCcCcCcDd\xD0"
     "dEeEeEeEeEeGgGgGgGgHhHhIiIiIiIiIi??JjKk?LlLlLl??LlNnNnNn???OoOoOo??RrRrRrSsSsSs??"
     "TtTtTtUuUuUuUuUuUuWwYy?ZzZz???b"},
    {0x0189, "\xD0"},
    {0x0191, "\x83?????I??l????OOo"},
    {0x01AB, "t??TUu?????z"},
    {0x01C0, "|?\?!"},
    {0x01CD, "AaIiOoUuUuUuUuUu?Aa????GgGgKkOoOo??j"},
    {0x0261, "g"},
    {0x02B9, "'\"?'"},
    {0x02C4, "^??\?'\xAF\xB4`?_"},
    {0x02DA, "\xB0"},
    {0x0300, "`\xB4^~\xAF\xAF??\xA8?\xB0???\""},
    {0x0327, "\xB8"},
    {0x0331, "__"},
    {0x037E, ";"},
    {0x0393, "G????T"},
    {0x03A3, "S??F??O"},
    {0x03B1, "a\xDF?de??????\xB5???p??st?f"},
    {0x04BB, "h"},
    {0x0589, ":"},
    {0x066A, "%"},
    {0x2000, "       "},
    {0x2010, "--????\?="},
    {0x2024, "\xB7"},
    {0x2032, "'??`"},
    {0x2044, "/"},
    {0x2070, "\xB0???45678??????n0123456789"},
    {0x20A1, "\xA2??\xA3??P"},
    {0x2102,
     "C????E??gHHHh?IILl?N??PPQRRR??????Z???Z?K\xC5"
     "BCeeEF?Mo"},
    {0x2205, "\xD8"},
    {0x2212, "-\xB1?/\\*\xB0\xB7v???8????|?????n"},
    {0x2236, ":?????~"},
    {0x2248, "\x98"},
    {0x2261, "=?\?==????\xAB\xBB"},
    {0x22C5, "\xB7"},
    {0x2302, "\xA6^"},
    {0x2310, "\xAC"},
    {0x2320, "()"},
    {0x2329, "<>"},
    {0x2500, "-?\xA6"},
    {0x250C, "+???+???+???+???+"},
    {0x2524, "\xA6"},
    {0x252C, "-"},
    {0x2534, "-"},
    {0x253C, "+"},
    {0x2550, "-\xA6++++++++++++\xA6\xA6\xA6\xA6\xA6\xA6------+++"},
    {0x2580, "\xAF???_???\xA6???\xA6???\xA6\xA6\xA6\xA6"},
    {0x25A0, "\xA6"},
    {0x263C, "\xA4"},
    {0x2758, "|"},
    {0x3000, " "},
    {0x3008, "<>\xAB\xBB"},
    {0x301A, "[]"},
    {0x30FB, "\xB7"},
    {0xFF01,
     "!\"#$%&'()*+,-./"
     "0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~"}};

}  // namespace

char32_t FromAnsi(unsigned char c) { return c >= 0x80 && c < 0xA0 ? kHigh[c - 0x80] : c; }

char ToAnsi(char32_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit < 0x100)) return static_cast<char>(unit);
  for (unsigned i = 0; i < 32; ++i) {
    if (kHigh[i] == unit) return static_cast<char>(0x80 + i);
  }
  const BestFit* fit = std::upper_bound(std::begin(kBestFit), std::end(kBestFit), unit,
                                        [](char32_t u, const BestFit& f) { return u < f.first; });
  if (fit == std::begin(kBestFit)) return '?';
  --fit;
  return unit - fit->first < fit->ansi.size() ? fit->ansi[unit - fit->first] : '?';
}
