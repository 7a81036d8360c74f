#!/usr/bin/env bash
# Fails when a Windows program holds an instruction that the 386 lacks:
#   check_386.sh OBJDUMP PROGRAM.exe
# Every executable section is disassembled, up to the constructor lists that
# the linker ends .text with, and each instruction must be one of the 386's
# integer instructions below. This is a list of what is allowed, not of what
# is not, so an instruction nobody thought of (CMOV, BSWAP, CPUID, the long
# NOP, anything on MMX or SSE registers) fails too. The x87 instructions are
# not listed: the program has no floating point.
set -euo pipefail
objdump=$1 program=$2

allowed="aaa aad aam aas adc add and arpl bound bsf bsr bt btc btr bts call cbw cdq clc cld cli
clts cmc cmp cmps cmpsb cmpsw cmpsd cwd cwde daa das dec div enter hlt idiv imul in inc ins insb
insw insd int int3 into iret iretd iretw ja jae jb jbe jc je jg jge jl jle jna jnae jnb jnbe jnc
jne jng jnge jnl jnle jno jnp jns jnz jo jp jpe jpo js jz jcxz jecxz jmp lahf lar lds lea leave les
lfs lgdt lgs lidt lldt lmsw lods lodsb lodsw lodsd loop loope loopne loopz loopnz lsl lss ltr mov
movs movsb movsw movsd movsx movzx mul neg nop not or out outs outsb outsw outsd pop popa popad popf
popfd popfw push pusha pushad pushf pushfd pushfw rcl rcr ret retf retn rol ror sahf sal sar sbb
scas scasb scasw scasd seta setae setb setbe setc sete setg setge setl setle setna setnae setnb
setnbe setnc setne setng setnge setnl setnle setno setnp setns setnz seto setp setpe setpo sets setz
sgdt shl shld shr shrd sidt sldt smsw stc std sti stos stosb stosw stosd str sub test verr verw wait
fwait xchg xlat xlatb xor"
prefixes="rep repz repe repnz repne lock data16 addr16 cs ds es fs gs ss"

# The linker closes .text with its constructor and destructor lists, data
# never run: each -1, the entries (the program has none), 0. The image has
# no symbols to name them, so they are found by their bytes, 4-aligned.
read -r start offset < <("$objdump" -s -j .text "$program" | awk '
  /^ [0-9a-f]+ / { if (start == "") start = $1; hex = hex $2 $3 $4 $5 }
  END {
    for (at = 0; (i = index(substr(hex, at + 1), "ffffffff00000000ffffffff00000000")); at += i)
      if ((at + i - 1) % 8 == 0) { print start, (at + i - 1) / 2; exit }
  }') || true
[[ -n ${offset-} ]] || { echo "$program: no constructor lists at the end of .text"; exit 1; }
listing=$("$objdump" -d -M intel --no-show-raw-insn --stop-address=$((0x$start + offset)) "$program")
bad=$(awk -v allowed="$allowed" -v prefixes="$prefixes" '
  BEGIN {
    n = split(allowed, a, /[ \n]+/); for (i = 1; i <= n; ++i) ok[a[i]] = 1
    n = split(prefixes, p, / +/); for (i = 1; i <= n; ++i) prefix[p[i]] = 1
  }
  /^ *[0-9a-f]+:\t/ {
    text = $0; sub(/^ *[0-9a-f]+:\t/, "", text)
    n = split(text, w, /[ \t]+/)
    for (i = 1; i <= n && (w[i] in prefix); ++i) {}
    mnemonic = w[i]
    # The long NOP (0F 1F) came with the Pentium Pro; the 386 has only 90.
    if (!(mnemonic in ok) || (mnemonic == "nop" && i < n) || text ~ /[^a-z][xyz]?mm[0-9]/) print
  }' <<<"$listing")
if [[ -n $bad ]]; then
  echo "$program holds instructions the 386 lacks:"
  echo "$bad" | head -40
  exit 1
fi
echo "$program: all $(grep -cP '^ *[0-9a-f]+:\t' <<<"$listing") instructions belong to the 386"
