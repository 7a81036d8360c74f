// Runs a 32-bit Windows program from its entry point to ExitProcess on a
// bare x86 under DOS, such as DOSBox's 386: peondos.com, a DOS program
// whose real-mode half (pe_on_dos16.c) reads the .exe and switches to flat
// 32-bit protected mode, where this half maps the image at its ImageBase,
// binds its KERNEL32 imports to stand-ins, and runs it at ring 0. Each call
// is logged, one a line, as is any exception (vector and EIP), which ends
// the run; back in DOS the log is printed.
//   PEONDOS PROGRAM.EXE absent|value=TEXT [COMMAND-LINE]
// The stand-in profile service holds one value, which every read finds: none
// (absent: the read gives the default) or TEXT; writes change nothing.
//
// Freestanding, built for the 386.

typedef unsigned char u8;
typedef unsigned short u16;
typedef unsigned int u32;
#define STDCALL __attribute__((stdcall))

// Shared with the real-mode half.
char log_text[4096];
u32 log_length, exit_status, file_size;
const char *key_value, *command_line;
enum { kFileAt = 0x10000 };
__attribute__((noreturn)) void LeaveProtectedMode(u32 status);
__attribute__((noreturn)) void RunProgram(void* entry, u32 stack);

// GCC may turn loops into calls of these.
void* memcpy(void* to, const void* from, u32 n) {
  u8* t = to;
  const u8* f = from;
  while (n--) *t++ = *f++;
  return to;
}
void* memset(void* to, int c, u32 n) {
  u8* t = to;
  while (n--) *t++ = (u8)c;
  return to;
}

static void Put(const char* s) {
  while (*s && log_length < sizeof log_text) log_text[log_length++] = *s++;
}

static void PutNumber(u32 n, u32 radix) {
  char digits[11];
  int i = 10;
  digits[i] = '\0';
  do digits[--i] = "0123456789abcdef"[n % radix];
  while (n /= radix);
  Put(digits + i);
}

// A string argument as C source would write it; NULL for a null pointer.
static void PutString(const char* s) {
  if (!s) {
    Put("NULL");
    return;
  }
  Put("\"");
  for (; *s; ++s) {
    const u8 c = (u8)*s;
    char one[5] = {(char)c, 0};
    if (c == '"' || c == '\\') {
      one[0] = '\\', one[1] = (char)c;
    } else if (c < 0x20 || c >= 0x7F) {
      one[0] = '\\', one[1] = 'x', one[2] = "0123456789abcdef"[c >> 4],
      one[3] = "0123456789abcdef"[c & 15];
    }
    Put(one);
  }
  Put("\"");
}

static __attribute__((noreturn)) void Fail2(const char* what, const char* name) {
  Put("pe_on_dos: "), Put(what), Put(name), Put("\n");
  LeaveProtectedMode(2);
}

static __attribute__((noreturn)) void Fail(const char* what) { Fail2(what, ""); }

static int SameName(const char* a, const char* b) {  // ASCII, case ignored
  for (;; ++a, ++b) {
    const char x = *a >= 'a' && *a <= 'z' ? *a - 32 : *a;
    const char y = *b >= 'a' && *b <= 'z' ? *b - 32 : *b;
    if (x != y) return 0;
    if (!x) return 1;
  }
}

// --- The KERNEL32 stand-ins -------------------------------------------------

static u8* image;

static STDCALL void* GetModuleHandleA(const char* name) {
  Put("GetModuleHandleA("), PutString(name), Put(")\n");
  return name ? 0 : image;
}

static STDCALL const char* GetCommandLineA(void) {
  Put("GetCommandLineA()\n");
  return command_line;
}

// As a graphical launcher starts a program: show state SW_SHOWMINNOACTIVE.
static STDCALL void GetStartupInfoA(u8* info) {
  Put("GetStartupInfoA()\n");
  memset(info, 0, 68);
  *(u32*)info = 68;        // cb
  *(u32*)(info + 44) = 1;  // dwFlags: STARTF_USESHOWWINDOW
  *(u16*)(info + 48) = 7;  // wShowWindow
}

static STDCALL u32 GetPrivateProfileStringA(const char* section, const char* key,
                                            const char* fallback, char* buffer, u32 size,
                                            const char* file) {
  const char* value = key_value ? key_value : fallback ? fallback : "";
  u32 n = 0;
  if (size > 0) {
    while (n + 1 < size && value[n]) buffer[n] = value[n], ++n;
    buffer[n] = '\0';
  }
  Put("GetPrivateProfileStringA("), PutString(section), Put(", "), PutString(key), Put(", ");
  PutString(fallback), Put(", "), PutNumber(size, 10), Put(", "), PutString(file);
  Put(") = "), PutNumber(n, 10), Put("\n");
  return n;
}

static STDCALL int WritePrivateProfileStringA(const char* section, const char* key,
                                              const char* value, const char* file) {
  Put("WritePrivateProfileStringA("), PutString(section), Put(", "), PutString(key);
  Put(", "), PutString(value), Put(", "), PutString(file), Put(")\n");
  return 1;
}

static STDCALL void ExitProcess(u32 status) {
  Put("ExitProcess("), PutNumber(status, 10), Put(")\n");
  LeaveProtectedMode(status);
}

static const struct {
  const char* name;
  void* function;
} kStandIns[] = {
    {"GetModuleHandleA", (void*)GetModuleHandleA},
    {"GetCommandLineA", (void*)GetCommandLineA},
    {"GetStartupInfoA", (void*)GetStartupInfoA},
    {"GetPrivateProfileStringA", (void*)GetPrivateProfileStringA},
    {"WritePrivateProfileStringA", (void*)WritePrivateProfileStringA},
    {"ExitProcess", (void*)ExitProcess},
};

// --- The image --------------------------------------------------------------

static u32 At(const u8* p, u32 offset) { return *(const u32*)(p + offset); }

// Copies headers and sections to their places at the image's own base, so
// that no relocation is needed, and binds its imports.
static u8* MapImage(const u8* file, u32 file_size) {
  if (file_size < 0x40 || file[0] != 'M' || file[1] != 'Z') Fail("not an MZ image");
  const u8* pe = file + At(file, 0x3C);
  if (At(pe, 0) != 0x4550 || *(const u16*)(pe + 4) != 0x14C) Fail("not a 32-bit x86 PE image");
  const u16 sections = *(const u16*)(pe + 6), optional_size = *(const u16*)(pe + 20);
  const u8* opt = pe + 24;
  if (*(const u16*)opt != 0x10B) Fail("not a PE32 optional header");
  const u32 base = At(opt, 28), image_size = At(opt, 56), headers = At(opt, 60);
  if (base < 0x100000) Fail("an ImageBase below 1 MiB, where the harness lives");
  image = (u8*)base;
  memset(image, 0, image_size);
  memcpy(image, file, headers);
  const u8* section = opt + optional_size;
  for (u16 i = 0; i < sections; ++i, section += 40) {
    const u32 virtual_size = At(section, 8), address = At(section, 12);
    const u32 raw_size = At(section, 16), raw_at = At(section, 20);
    const u32 n = virtual_size && virtual_size < raw_size ? virtual_size : raw_size;
    if (raw_at + n > file_size || address + n > image_size) Fail("a section lies outside");
    memcpy(image + address, file + raw_at, n);
  }
  for (const u8* d = image + At(opt, 96 + 8); At(d, 12); d += 20) {
    if (!SameName((const char*)image + At(d, 12), "KERNEL32.dll")) {
      Fail2("imports from ", (const char*)image + At(d, 12));
    }
    const u32* names = (const u32*)(image + (At(d, 0) ? At(d, 0) : At(d, 16)));
    u32* slots = (u32*)(image + At(d, 16));
    for (; *names; ++names, ++slots) {
      if (*names & 0x80000000u) Fail("imports by ordinal");
      const char* name = (const char*)image + *names + 2;
      u32 i = 0;
      while (i < sizeof kStandIns / sizeof kStandIns[0] && !SameName(kStandIns[i].name, name)) ++i;
      if (i == sizeof kStandIns / sizeof kStandIns[0]) Fail2("no stand-in for ", name);
      *slots = (u32)kStandIns[i].function;
    }
  }
  return image + At(opt, 16);
}

void ProtectedMain(void) {
  void* entry = MapImage((const u8*)kFileAt, file_size);
  RunProgram(entry, (u32)image);
}

__attribute__((noreturn)) void ExceptionCaught(u32 vector, u32 error, u32 eip) {
  Put("exception "), PutNumber(vector, 10), Put(" at 0x"), PutNumber(eip, 16);
  if (error) Put(", error code 0x"), PutNumber(error, 16);
  Put("\n");
  LeaveProtectedMode(3);
}

void EntryReturned(void) {
  Fail("the program returned from its entry point instead of calling ExitProcess");
}

// The program runs on a stack of its own, below its image. The stubs are 16
// bytes apart; each leaves the vector, an error code (0 where the processor
// pushes none) and EIP for ExceptionCaught, on the harness's stack.
__asm__(
    ".pushsection .text\n"
    "RunProgram:\n\t"
    "  mov 4(%esp), %eax\n\t"
    "  mov 8(%esp), %esp\n\t"
    "  call *%eax\n\t"
    "  mov real_esp, %esp\n\t"
    "  call EntryReturned\n"
    ".balign 16\n"
    ".globl ExceptionStubs\n"
    "ExceptionStubs:\n"
    ".irp vector, "
    "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31\n"
    "  .balign 16\n"
    "  .if \\vector != 8 && (\\vector < 10 || \\vector > 14) && \\vector != 17\n"
    "    push $0\n"
    "  .endif\n"
    "  push $\\vector\n"
    "  jmp ExceptionCommon\n"
    ".endr\n"
    "ExceptionCommon:\n\t"
    "  pop %eax\n\t"
    "  pop %edx\n\t"
    "  pop %ecx\n\t"
    "  mov real_esp, %esp\n\t"
    "  push %ecx\n\t"
    "  push %edx\n\t"
    "  push %eax\n\t"
    "  call ExceptionCaught\n"
    ".popsection\n");
