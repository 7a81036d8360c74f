// Runs a 32-bit Windows program from its entry point to ExitProcess on an
// emulated 486 (qemu-i386 -cpu 486, which faults on what a 486 lacks): maps
// the image, gives it stand-ins for the KERNEL32 functions it imports, and
// prints each call it makes, one a line.
//   pe_on_486 PROGRAM.exe [COMMAND-LINE]
// The stand-in profile service keeps one value in memory: a read finds it
// once it has been written, else gives the default. Exits with the status
// the program passes to ExitProcess; 2 when the image cannot be run.
//
// Freestanding, built for the 386: the toolchain's C library is built for
// later processors, and the emulated 486 would fault in it first.

typedef unsigned char u8;
typedef unsigned short u16;
typedef unsigned int u32;
#define STDCALL __attribute__((stdcall))

// Up to five arguments; the sixth (ebp, which GCC may be using) is 0.
static long Syscall(long number, long a, long b, long c, long d, long e) {
  long result;
  __asm__ volatile(
      "push %%ebp\n\t"
      "xor %%ebp, %%ebp\n\t"
      "int $0x80\n\t"
      "pop %%ebp"
      : "=a"(result)
      : "0"(number), "b"(a), "c"(b), "d"(c), "S"(d), "D"(e)
      : "memory");
  return result;
}

enum { kRead = 3, kWrite = 4, kOpen = 5, kExit = 252, kMmap2 = 192 };

static void Exit(int status) {
  for (;;) Syscall(kExit, status, 0, 0, 0, 0);
}

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

static u32 Length(const char* s) {
  u32 n = 0;
  while (s[n]) ++n;
  return n;
}

static void Put(const char* s) { Syscall(kWrite, 1, (long)s, Length(s), 0, 0); }

static void PutNumber(u32 n) {
  char digits[11];
  int i = 10;
  digits[i] = '\0';
  do digits[--i] = (char)('0' + n % 10);
  while (n /= 10);
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

static void Fail2(const char* what, const char* name) {
  Put("pe_on_486: ");
  Put(what);
  Put(name);
  Put("\n");
  Exit(2);
}

static void Fail(const char* what) { Fail2(what, ""); }

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
static const char* command_line = "tarvoprobe.exe";
static char stored[64];
static int has_stored;

static STDCALL void* GetModuleHandleA(const char* name) {
  Put("GetModuleHandleA(");
  PutString(name);
  Put(")\n");
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
  const char* value = has_stored ? stored : fallback ? fallback : "";
  u32 n = 0;
  if (size > 0) {
    while (n + 1 < size && value[n]) buffer[n] = value[n], ++n;
    buffer[n] = '\0';
  }
  Put("GetPrivateProfileStringA(");
  PutString(section), Put(", "), PutString(key), Put(", "), PutString(fallback), Put(", ");
  PutNumber(size), Put(", "), PutString(file), Put(") = "), PutNumber(n), Put("\n");
  return n;
}

static STDCALL int WritePrivateProfileStringA(const char* section, const char* key,
                                              const char* value, const char* file) {
  Put("WritePrivateProfileStringA(");
  PutString(section), Put(", "), PutString(key), Put(", "), PutString(value), Put(", ");
  PutString(file), Put(")\n");
  if (!value || Length(value) >= sizeof stored) return 0;
  memcpy(stored, value, Length(value) + 1);
  has_stored = 1;
  return 1;
}

static STDCALL void ExitProcess(u32 status) {
  Put("ExitProcess("), PutNumber(status), Put(")\n");
  Exit((int)status);
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

// Private, anonymous, readable, writable and executable; at `address`
// exactly unless it is 0.
static void* Map(u32 address, u32 size) {
  const long flags = 0x22 | (address ? 0x100000 /* MAP_FIXED_NOREPLACE */ : 0);
  const long p = Syscall(kMmap2, address, size, 7, flags, -1);
  if ((unsigned long)p > 0xFFFFF000UL) Fail("cannot map memory");
  return (void*)p;
}

static u8* Load(const char* path, u32* size) {
  const long fd = Syscall(kOpen, (long)path, 0, 0, 0, 0);
  if (fd < 0) Fail("cannot open the program");
  const u32 capacity = 8u << 20;
  u8* file = Map(0, capacity);
  for (long n; (n = Syscall(kRead, fd, (long)(file + *size), capacity - *size, 0, 0)) > 0;)
    *size += (u32)n;
  if (*size == capacity) Fail("the program is too large");
  return file;
}

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
  image = Map(base, image_size);
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
      if (i == sizeof kStandIns / sizeof kStandIns[0]) {
        Fail2("no stand-in for ", name);
      }
      *slots = (u32)kStandIns[i].function;
    }
  }
  return image + At(opt, 16);
}

void Start(long* stack) {
  const long argc = stack[0];
  char** argv = (char**)(stack + 1);
  if (argc < 2) Fail("usage: pe_on_486 PROGRAM.exe [COMMAND-LINE]");
  if (argc > 2) command_line = argv[2];
  u32 size = 0;
  const u8* file = Load(argv[1], &size);
  void (*entry)(void) = (void (*)(void))MapImage(file, size);
  entry();
  Fail("the program returned from its entry point instead of calling ExitProcess");
}

__asm__(
    ".globl _start\n"
    "_start:\n\t"
    "xor %ebp, %ebp\n\t"
    "mov %esp, %eax\n\t"
    "and $-16, %esp\n\t"
    "sub $12, %esp\n\t"
    "push %eax\n\t"
    "call Start\n\t"
    "hlt");
