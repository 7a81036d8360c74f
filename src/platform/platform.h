// The few platform types and profile-service calls the program uses. Windows
// provides them; elsewhere profile_posix.cpp stands in for the two calls.
#ifndef TARVOPROBE_PLATFORM_PLATFORM_H_
#define TARVOPROBE_PLATFORM_PLATFORM_H_

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdint>

using BOOL = int;
using DWORD = std::uint32_t;
using LPSTR = char*;
using LPCSTR = const char*;
using HINSTANCE = struct HINSTANCE__*;
constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;
#define WINAPI  // the graphical entry's calling convention: none here

// The stand-in for the platform's profile service (profile_posix.cpp). It
// does not do what the program never asks for: a null section or key, which
// on the platform lists the file's sections or a section's keys, gives the
// default here; a null key or value, which on the platform deletes a section
// or a key, fails here and changes nothing.

// Copies the value of `key` in `section` of `file` into `buffer` (at most
// `size` - 1 bytes, then a NUL), or `default_value` when the file, section or
// key is absent. Returns the number of bytes copied, NUL not counted.
// A file named without a directory lives in $XDG_CONFIG_HOME (when absolute),
// else $HOME/.config, else the password database's home + /.config.
DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR default_value, LPSTR buffer,
                               DWORD size, LPCSTR file);

// Stores `value` under `key` in `section` of `file`, creating what is absent,
// and changes nothing but that one line. The file is replaced atomically
// under a lock (settings_file.h). TRUE once the new content is in place,
// even when syncing the directory afterwards fails (the rename may then not
// yet be durable); on any failure before, the file is left as it was and
// the result is FALSE.
BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file);
#endif

#endif  // TARVOPROBE_PLATFORM_PLATFORM_H_
