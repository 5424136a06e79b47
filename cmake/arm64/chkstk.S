// __chkstk for the ARM64 launchers: the stack probe that the C runtime's start-up code
// calls for its frames larger than a page. It would otherwise come from compiler-rt,
// whose object brings 9 KiB of read-only tables no launcher uses (lld keeps a section
// that is not COMDAT whenever its object is linked). x15 holds the frame size in units
// of 16 bytes; each page below the stack pointer is touched once, from the top down, so
// that the guard page grows the stack in order. Only x16 and x17 are changed.
    .text
    .globl __chkstk
    .p2align 2
__chkstk:
    lsl x16, x15, #4
    mov x17, sp
1:
    sub x17, x17, #4096
    subs x16, x16, #4096
    ldr xzr, [x17]
    b.gt 1b
    ret
