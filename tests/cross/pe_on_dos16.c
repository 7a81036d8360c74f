// The real-mode half of peondos.com (see pe_on_dos.c), built with -m16:
// DOS start-up, the command line, reading the program, the switch to flat
// 32-bit protected mode and back, and printing the log.
//   PEONDOS PROGRAM.EXE absent|value=TEXT [COMMAND-LINE]
// DOS must run in real mode (no EMS or UMB driver in virtual 8086 mode):
// the harness switches itself, and A20 through port 0x92.

typedef unsigned char u8;
typedef unsigned short u16;
typedef unsigned int u32;

// Shared with the protected-mode half.
extern char log_text[];
extern u32 log_length, exit_status, file_size;
extern const char *key_value, *command_line;
extern char ExceptionStubs[];  // 32 stubs of 16 bytes, one for each exception vector
extern u8 psp[];               // the program segment prefix, at offset 0
enum { kFileAt = 0x10000 };    // the program's bytes, 64 KiB past the harness's own

static u8 gdt[5][8];
static u8 idt[32][8];
struct __attribute__((packed)) {
  u16 limit;
  u32 base;
} gdtr, idtr, real_idtr = {0x3FF, 0};
u32 real_esp;  // the real-mode stack, which protected mode also starts from
u16 real_cs;
void RunProtected(void);

// int 21h with DS = `segment`; the result in AX, or -1 when carry is set.
static long Dos(u16 ax, u16 bx, u16 cx, u16 dx, u16 segment) {
  u16 result;
  u8 failed;
  __asm__ volatile("pushw %%ds\n\tmov %w[segment], %%ds\n\tint $0x21\n\tpopw %%ds\n\tsetc %1"
                   : "=a"(result), "=qm"(failed)
                   : "a"(ax), "b"(bx), "c"(cx), "d"(dx), [segment] "S"(segment)
                   : "memory", "cc");
  return failed ? -1 : result;
}

static void Print(const char* s, u32 n) { Dos(0x4000, 1, (u16)n, (u16)(u32)s, real_cs); }

static __attribute__((noreturn)) void Exit(u8 status) {
  for (;;) Dos(0x4C00 | status, 0, 0, 0, real_cs);
}

static __attribute__((noreturn)) void Fail(const char* why) {
  u32 n = 0;
  while (why[n]) ++n;
  Print("pe_on_dos: ", 11);
  Print(why, n);
  Print("\n", 1);
  Exit(2);
}

static void Descriptor(u8* d, u32 base, u32 limit, u8 access, u8 flags) {
  d[0] = (u8)limit, d[1] = (u8)(limit >> 8), d[6] = (u8)(flags | (limit >> 16 & 15));
  d[2] = (u8)base, d[3] = (u8)(base >> 8), d[4] = (u8)(base >> 16), d[7] = (u8)(base >> 24);
  d[5] = access;
}

// Every segment starts where DOS loaded the harness and reaches 4 GiB, so
// the harness's own addresses and the program's mean the same in both modes.
void RealMain(void) {
  u16 msw;
  __asm__("smsw %0" : "=r"(msw));
  if (msw & 1) Fail("DOS runs in virtual 8086 mode: run it without EMS and UMB");
  __asm__("mov %%cs, %0" : "=r"(real_cs));
  if ((psp[2] | psp[3] << 8) < real_cs + 0x2000) Fail("less than 128 KiB of conventional memory");

  // The tail at 0x80: its length, then the words, ended by CR.
  char* tail = (char*)psp + 0x81;
  tail[psp[0x80]] = '\0';
  char* words[2];
  for (int i = 0; i < 2; ++i) {
    while (*tail == ' ') ++tail;
    words[i] = tail;
    while (*tail && *tail != ' ') ++tail;
    if (*tail) *tail++ = '\0';
  }
  command_line = tail;
  if (words[1][0] == 'v' && words[1][1] == 'a' && words[1][2] == 'l' && words[1][3] == 'u' &&
      words[1][4] == 'e' && words[1][5] == '=') {
    key_value = words[1] + 6;
  } else if (words[1][0] != 'a') {
    Fail("usage: PEONDOS PROGRAM.EXE absent|value=TEXT [COMMAND-LINE]");
  }

  const long file = Dos(0x3D00, 0, 0, (u16)(u32)words[0], real_cs);
  if (file < 0) Fail("cannot open the program");
  const long size = Dos(0x3F00, (u16)file, 0xFFFF, 0, real_cs + kFileAt / 16);
  if (size < 0 || size == 0xFFFF) Fail("cannot read the program, or it is 64 KiB or more");
  file_size = (u32)size;
  Dos(0x3E00, (u16)file, 0, 0, real_cs);

  const u32 base = (u32)real_cs << 4;
  Descriptor(gdt[1], base, 0xFFFFF, 0x9A, 0xC0);  // 0x08: code, 32-bit, 4 GiB
  Descriptor(gdt[2], base, 0xFFFFF, 0x92, 0xC0);  // 0x10: data, 32-bit, 4 GiB
  Descriptor(gdt[3], base, 0xFFFF, 0x9A, 0x00);   // 0x18: code, 16-bit, 64 KiB, for the way back
  Descriptor(gdt[4], base, 0xFFFF, 0x92, 0x00);   // 0x20: data, 16-bit, 64 KiB, for real mode
  for (u32 v = 0; v < 32; ++v) {                  // interrupt gates to the stubs, through 0x08
    const u32 stub = (u32)ExceptionStubs + 16 * v;
    u8* gate = idt[v];
    gate[0] = (u8)stub, gate[1] = (u8)(stub >> 8), gate[2] = 0x08, gate[5] = 0x8E;
    gate[6] = (u8)(stub >> 16), gate[7] = (u8)(stub >> 24);
  }
  gdtr.limit = sizeof gdt - 1, gdtr.base = base + (u32)gdt;
  idtr.limit = sizeof idt - 1, idtr.base = base + (u32)idt;
  RunProtected();
  Print(log_text, log_length);
  Exit((u8)exit_status);
}

// The switches. Interrupts stay off while in protected mode: the PIC's
// vectors would land on exceptions there.
__asm__(
    ".pushsection .start, \"ax\"\n"
    "  mov $bss_start, %di; mov $bss_end, %cx; sub %di, %cx\n\t"  // .bss: DOS clears nothing
    "  xor %al, %al; cld; rep stosb\n\t"
    "  movzwl %sp, %esp\n\t"
    "  calll RealMain\n"
    ".section .text\n"
    "RunProtected:\n\t"
    "  pushal\n\t"
    "  mov %esp, real_esp\n\t"
    "  cli\n\t"
    "  inb $0x92, %al; or $2, %al; and $0xFE, %al; outb %al, $0x92\n\t"  // bit 0 would reset
    "  lgdtl gdtr\n\t"
    "  lidtl idtr\n\t"
    "  mov %cr0, %eax; or $1, %al; mov %eax, %cr0\n\t"
    "  ljmpl $0x08, $ProtectedEntry\n"
    "BackTo16:\n\t"
    "  mov $0x20, %ax; mov %ax, %ds; mov %ax, %es; mov %ax, %fs; mov %ax, %gs; mov %ax, %ss\n\t"
    "  mov %cr0, %eax; and $0xFE, %al; mov %eax, %cr0\n\t"
    "  pushw real_cs; pushw $BackToReal; lretw\n"
    "BackToReal:\n\t"
    "  mov %cs, %ax; mov %ax, %ds; mov %ax, %es; mov %ax, %fs; mov %ax, %gs; mov %ax, %ss\n\t"
    "  lidtl real_idtr\n\t"
    "  sti\n\t"
    "  popal\n\t"
    "  retl\n"
    ".code32\n"
    "ProtectedEntry:\n\t"
    "  mov $0x10, %ax; mov %ax, %ds; mov %ax, %es; mov %ax, %fs; mov %ax, %gs; mov %ax, %ss\n\t"
    "  call ProtectedMain\n"
    ".globl LeaveProtectedMode\n"
    "LeaveProtectedMode:\n\t"  // (status), from anywhere in protected mode
    "  mov 4(%esp), %eax; mov %eax, exit_status\n\t"
    "  mov real_esp, %esp\n\t"
    "  ljmp $0x18, $BackTo16\n"
    ".code16gcc\n"
    ".popsection\n");
