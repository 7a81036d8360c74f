// The C escapes (\\ \n \r \t \0 \xHH) of the test tables and of the Wine
// oracle's commands and answers, shared so both ends read one format.
// Standard C++ only: the oracle is built for Windows.
#ifndef TARVOPROBE_TESTS_ESCAPE_H_
#define TARVOPROBE_TESTS_ESCAPE_H_

#include <cstdio>
#include <cstdlib>
#include <string>

namespace testing_util {

inline std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    switch (char c = s[++i]) {
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case '0':
        out += '\0';
        break;
      case 'x':
        out += char(std::strtoul(s.substr(i + 1, 2).c_str(), nullptr, 16)), i += 2;
        break;
      default:
        out += c;
    }
  }
  return out;
}

inline std::string Escape(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (c >= 0x20 && c < 0x7f) {
          out += char(c);
        } else {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02x", c);
          out += hex;
        }
    }
  }
  return out;
}

}  // namespace testing_util

#endif  // TARVOPROBE_TESTS_ESCAPE_H_
