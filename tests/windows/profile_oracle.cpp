// Asks the platform's own profile service, for tests run from Linux under
// Wine. Reads commands from the file named by the one argument, one a line,
// fields separated by TAB, in C escapes (\\ \t \n \r \0 \xHH); "(null)" is a
// null pointer. A path starting with '/' is taken as Z:\ plus that path.
//
//   read PATH SECTION KEY DEFAULT SIZE  ->  count TAB bytes TAB nul|nonul
//   write PATH SECTION KEY VALUE        ->  1 | 0
//   dump PATH   ->  every section the platform lists, each followed by its
//                   keys and the value read for each: "S:s" TAB "K:k=v" ...
//   version PATH  ->  fixed versions, string table, resource types
//   arch  ->  "pointer=" the pointer size TAB "wow64=" 1 or 0
//
// Each command prints one line; bytes in the output are escaped as above.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "escape.h"

namespace {

constexpr DWORD kBig = 1 << 20;

using testing_util::Unescape;

std::string Escape(const char* p, size_t n) { return testing_util::Escape(std::string(p, n)); }

struct Field {
  bool null;
  std::string text;
  const char* get() const { return null ? nullptr : text.c_str(); }
};

std::vector<Field> Split(const std::string& line) {
  std::vector<Field> fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    const std::string raw = line.substr(start, tab == std::string::npos ? tab : tab - start);
    fields.push_back({raw == "(null)", Unescape(raw)});
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

std::string WindowsPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  std::string out = "Z:" + path;
  for (char& c : out) c = c == '/' ? '\\' : c;
  return out;
}

// A NUL-separated list as `count` bytes: names, possibly empty.
std::vector<std::string> List(const char* p, DWORD count) {
  std::vector<std::string> names;
  for (DWORD i = 0; i < count;) {
    const size_t n = strnlen(p + i, count - i);
    names.emplace_back(p + i, n);
    i += DWORD(n) + 1;
  }
  return names;
}

std::string Dump(const std::string& path) {
  static std::vector<char> buffer(kBig);
  static std::vector<char> value(kBig);
  std::string out;
  const DWORD n = GetPrivateProfileSectionNamesA(buffer.data(), kBig, path.c_str());
  for (const std::string& section : List(buffer.data(), n)) {
    out += "S:" + Escape(section.data(), section.size());
    std::vector<char> keys(kBig);
    const DWORD k =
        GetPrivateProfileStringA(section.c_str(), nullptr, "", keys.data(), kBig, path.c_str());
    for (const std::string& key : List(keys.data(), k)) {
      const DWORD v = GetPrivateProfileStringA(section.c_str(), key.c_str(), "(none)", value.data(),
                                               kBig, path.c_str());
      out += "\tK:" + Escape(key.data(), key.size()) + "=" + Escape(value.data(), v);
    }
    out += "\t";
  }
  return out;
}

BOOL CALLBACK AddType(HMODULE, LPSTR type, LONG_PTR list) {
  auto& types = *reinterpret_cast<std::string*>(list);
  types +=
      IS_INTRESOURCE(type) ? std::to_string(reinterpret_cast<ULONG_PTR>(type)) : std::string(type);
  types += ",";
  return TRUE;
}

std::string Version(const std::string& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  std::vector<char> data(size ? size : 1);
  if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, data.data()))
    return "no version record";
  std::string out;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  char text[160];
  if (VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) && fixed) {
    std::snprintf(text, sizeof text,
                  "FILEVERSION=%lu.%lu.%lu.%lu\tPRODUCTVERSION=%lu.%lu.%lu.%lu\tFILEOS=0x%lx",
                  HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                  HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS),
                  HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
                  HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS),
                  fixed->dwFileOS);
    out += text;
  }
  for (const char* name : {"FileVersion", "ProductVersion", "ProductName", "OriginalFilename"}) {
    const std::string query = std::string("\\StringFileInfo\\040904B0\\") + name;
    char* value = nullptr;
    if (VerQueryValueA(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) &&
        value) {
      out += std::string("\t") + name + "=" + value;
    }
  }
  // Resource types: a manifest (24) would show up here.
  out += "\tresources=";
  if (HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
    EnumResourceTypesA(module, AddType, reinterpret_cast<LONG_PTR>(&out));
    FreeLibrary(module);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  FILE* in = std::fopen(argv[1], "rb");
  if (!in) return 2;
  _setmode(_fileno(stdout), _O_BINARY);
  static std::vector<char> buffer(kBig + 16);
  std::string line;
  for (int c; (c = std::fgetc(in)) != EOF || !line.empty();) {
    if (c != '\n' && c != EOF) {
      line += char(c);
      continue;
    }
    const std::vector<Field> f = Split(line);
    line.clear();
    const std::string& command = f[0].text;
    std::string out = "ERROR";
    if (command == "read" && f.size() == 6) {
      const DWORD size = std::strtoul(f[5].text.c_str(), nullptr, 10);
      std::memset(buffer.data(), 0x7f, buffer.size());
      const DWORD count = GetPrivateProfileStringA(
          f[2].get(), f[3].get(), f[4].get(), buffer.data(), size, WindowsPath(f[1].text).c_str());
      const DWORD shown = count < kBig ? count : kBig;
      out = std::to_string(count) + "\t" + Escape(buffer.data(), shown) + "\t" +
            (buffer[shown] == 0 ? "nul" : "nonul");
    } else if (command == "write" && f.size() == 5) {
      out = WritePrivateProfileStringA(f[2].get(), f[3].get(), f[4].get(),
                                       WindowsPath(f[1].text).c_str())
                ? "1"
                : "0";
    } else if (command == "dump" && f.size() == 2) {
      out = Dump(WindowsPath(f[1].text));
    } else if (command == "version" && f.size() == 2) {
      out = Version(WindowsPath(f[1].text));
    } else if (command == "arch" && f.size() == 1) {
      BOOL wow64 = FALSE;
      IsWow64Process(GetCurrentProcess(), &wow64);
      out = "pointer=" + std::to_string(sizeof(void*)) + "\twow64=" + (wow64 ? "1" : "0");
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fputc('\n', stdout);
    if (c == EOF) break;
  }
  std::fflush(stdout);
  return 0;
}
