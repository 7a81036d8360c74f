#!/usr/bin/env bash
# Fails when a Windows program holds an instruction that the 386 lacks:
#   check_386.sh OBJDUMP PROGRAM.exe
# Every executable section is disassembled, and each instruction must be one
# of the 386's integer instructions below. This is a list of what is allowed,
# not of what is not, so an instruction nobody thought of (CMOV, BSWAP,
# CPUID, the long NOP, anything on MMX or SSE registers) fails too. The x87
# instructions are not listed: the program has no floating point.
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

listing=$("$objdump" -d -M intel --no-show-raw-insn "$program")
bad=$(awk -v allowed="$allowed" -v prefixes="$prefixes" '
  BEGIN {
    n = split(allowed, a, /[ \n]+/); for (i = 1; i <= n; ++i) ok[a[i]] = 1
    n = split(prefixes, p, / +/); for (i = 1; i <= n; ++i) prefix[p[i]] = 1
  }
  # The linker keeps its constructor lists in .text: data, never run.
  /^[0-9a-f]+ <.*>:$/ { data = $0 ~ /<__[CD]TOR_LIST__>/ }
  /^ *[0-9a-f]+:\t/ && !data {
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
