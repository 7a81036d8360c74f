#include "platform/code_page.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>

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
// narrow call. The golden cases utf16le_best_fit and utf8_best_fit check
// every entry.
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

// The same runs without pointers, so that loading the program relocates
// nothing for them: the first character of each run, and where its fits
// start in one string of all of them.
constexpr size_t kRuns = std::size(kBestFit);
constexpr size_t kFitBytes = [] {
  size_t n = 0;
  for (const BestFit& run : kBestFit) n += run.ansi.size();
  return n;
}();
struct PackedFits {
  char16_t first[kRuns];
  std::uint16_t start[kRuns + 1];
  char ansi[kFitBytes];
};
constexpr PackedFits kFits = [] {
  PackedFits fits{};
  size_t at = 0;
  for (size_t i = 0; i < kRuns; ++i) {
    fits.first[i] = kBestFit[i].first;
    fits.start[i] = static_cast<std::uint16_t>(at);
    for (const char c : kBestFit[i].ansi) fits.ansi[at++] = c;
  }
  fits.start[kRuns] = static_cast<std::uint16_t>(at);
  return fits;
}();

constexpr char32_t kInvalid = 0xFFFD;

// How many continuation bytes a lead byte announces; 0 for a byte that
// leads nothing.
size_t Announced(unsigned char c) {
  return c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : 0;
}

}  // namespace

char32_t FromAnsi(unsigned char c) { return c >= 0x80 && c < 0xA0 ? kHigh[c - 0x80] : c; }

char ToAnsi(char32_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit < 0x100)) return static_cast<char>(unit);
  for (unsigned i = 0; i < 32; ++i) {
    if (kHigh[i] == unit) return static_cast<char>(0x80 + i);
  }
  const char16_t* after = std::upper_bound(std::begin(kFits.first), std::end(kFits.first), unit);
  if (after == std::begin(kFits.first)) return '?';
  const size_t run = static_cast<size_t>(after - std::begin(kFits.first)) - 1;
  const size_t at = kFits.start[run] + (unit - kFits.first[run]);
  return at < kFits.start[run + 1] ? kFits.ansi[at] : '?';
}

void AppendAnsi(char32_t c, Buffer* out) {
  if (c > 0xFFFF) {
    out->Append("??");  // a surrogate pair, which has no fit
  } else {
    out->Append(ToAnsi(c));
  }
}

char32_t NextUtf8(std::string_view text, size_t* at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte((*at)++);
  if (lead < 0x80) return lead;
  const size_t n = Announced(lead);
  if (n == 0) return kInvalid;
  if (*at + n > text.size()) {  // the platform then takes all that is left
    *at = text.size();
    return kInvalid;
  }
  char32_t c = lead & (0x7F >> (n + 1));
  for (size_t k = 1; k <= n; ++k) {
    const unsigned char b = byte(*at);
    if ((b & 0xC0) != 0x80) return kInvalid;
    // The byte before the last one shows a code point beyond U+10FFFF, and
    // is then left to stand alone; overlong forms and surrogates show as
    // soon as their bits are known, and take the byte that shows them.
    const bool before_last = k + 1 == n;
    if (before_last && (c << 6 | (b & 0x3F)) >= 0x110000 >> 6) return kInvalid;
    c = c << 6 | (b & 0x3F);
    ++*at;
    if (n == 3 && k == 1 && c < 0x10) return kInvalid;
    if (before_last && (c < 0x20 || (c >= 0xD800 >> 6 && c <= 0xDFFF >> 6))) return kInvalid;
  }
  return c;
}

size_t Utf8CutShort(std::string_view text) {
  // No character takes a lead byte into itself, so the last three bytes
  // tell, and the first lead byte among them that the end cuts short.
  for (size_t i = text.size() > 3 ? text.size() - 3 : 0; i < text.size(); ++i) {
    const size_t n = Announced(static_cast<unsigned char>(text[i]));
    if (n > 0 && i + n >= text.size()) return i;
  }
  return text.size();
}

std::string_view Utf8Swallowed(std::string_view cut_short) {
  // Followed by enough that the end cuts nothing short. A character cut
  // short by the end has at most three bytes.
  char followed[6] = {'\n', '\n', '\n', '\n', '\n', '\n'};
  const size_t n = std::min(cut_short.size(), size_t{3});
  std::memcpy(followed, cut_short.data(), n);
  size_t at = 0;
  NextUtf8({followed, n + 3}, &at);
  at = std::min(at, cut_short.size());
  return {cut_short.data() + at, cut_short.size() - at};
}

void AppendUtf8(char32_t c, Buffer* out) {
  const auto put = [&](unsigned b) { out->Append(static_cast<char>(b)); };
  if (c < 0x80) {
    put(c);
  } else if (c < 0x800) {
    put(0xC0 | c >> 6);
    put(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    put(0xE0 | c >> 12);
    put(0x80 | (c >> 6 & 0x3F));
    put(0x80 | (c & 0x3F));
  } else {
    put(0xF0 | c >> 18);
    put(0x80 | (c >> 12 & 0x3F));
    put(0x80 | (c >> 6 & 0x3F));
    put(0x80 | (c & 0x3F));
  }
}

void AppendUtf16(char32_t unit, bool big_endian, Buffer* out) {
  const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit);
  out->Append(big_endian ? high : low);
  out->Append(big_endian ? low : high);
}
