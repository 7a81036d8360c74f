# A control for the emulated processors: BSWAP came with the 486 and RDTSC
# with the Pentium, so a 386 faults at the first, a 486 at the second, and
# only a Pentium reaches ExitProcess(0).
	.globl _start
_start:
	bswap %eax
	rdtsc
	push $0
	call *__imp__ExitProcess@4
