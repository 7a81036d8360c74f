// The profile service for systems that lack it: the platform's two functions
// over the settings text (settings_text.h) and the settings file
// (settings_file.h).
#include <cstring>
#include <string_view>

#include "platform/platform.h"
#include "platform/settings_file.h"
#include "platform/settings_text.h"

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR default_value, LPSTR buffer,
                               DWORD size, LPCSTR file) {
  if (!buffer || size == 0) return 0;
  Buffer found;
  bool in_file = false;
  if (section && key && file) {
    const Buffer path = SettingsPath(file, false);
    Buffer bytes;
    in_file = !path.empty() && LoadSettings(path, &bytes) == Load::kRead &&
              ReadSetting(bytes, section, key, &found);
  }
  const std::string_view value =
      in_file ? found : DefaultSetting(default_value ? default_value : "");
  const size_t n = value.size() < size - 1 ? value.size() : size - 1;
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return static_cast<DWORD>(n);
}

BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file) {
  if (!section || !key || !value || !file || !CanStoreSetting(section, key, value)) return FALSE;
  const Buffer path = SettingsPath(file, true);
  if (path.empty()) return FALSE;
  HeldSettings held(path);
  // A program that takes no lock may change the file while it is edited:
  // the edit is made again on what it wrote, a few times at most.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!held.writable()) return FALSE;
    const SettingsEdit edit = EditSetting(held.bytes(), section, key, value);
    if (edit.kind == SettingsEdit::kUnchanged) return TRUE;
    if (edit.kind != SettingsEdit::kSplice) return FALSE;
    switch (held.Replace(edit.at, edit.erase, edit.insert)) {
      case HeldSettings::Replaced::kDone:
        return TRUE;
      case HeldSettings::Replaced::kFailed:
        return FALSE;
      case HeldSettings::Replaced::kChanged:
        break;
    }
  }
  return FALSE;
}
