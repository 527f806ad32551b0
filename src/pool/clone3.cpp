#include "pool/clone3.hpp"

// The child starts on the new stack right after the system call, with the
// registers of the parent (but for the result): the function and its
// argument are kept in registers that the call preserves, and the child
// calls the function and exits without ever returning into a frame of the
// parent's stack.
#if defined(__x86_64__)
__asm__(
    ".text\n"
    ".globl lumvex_clone3_run\n"
    ".type lumvex_clone3_run, @function\n"
    "lumvex_clone3_run:\n"
    "  mov %rdx, %r9\n"   // fn
    "  mov %rcx, %r8\n"   // arg
    "  mov $435, %eax\n"  // SYS_clone3
    "  syscall\n"
    "  test %rax, %rax\n"
    "  jnz 1f\n"
    "  xor %ebp, %ebp\n"
    "  mov %r8, %rdi\n"
    "  call *%r9\n"
    "  mov %eax, %edi\n"
    "  mov $231, %eax\n"  // SYS_exit_group
    "  syscall\n"
    "  hlt\n"
    "1:\n"
    "  ret\n"
    ".size lumvex_clone3_run, .-lumvex_clone3_run\n"
    ".section .note.GNU-stack,\"\",@progbits\n"
    ".text\n");
#elif defined(__aarch64__)
__asm__(
    ".text\n"
    ".globl lumvex_clone3_run\n"
    ".type lumvex_clone3_run, %function\n"
    "lumvex_clone3_run:\n"
    "  mov x9, x2\n"    // fn
    "  mov x10, x3\n"   // arg
    "  mov x8, #435\n"  // SYS_clone3
    "  svc #0\n"
    "  cbnz x0, 1f\n"
    "  mov x29, xzr\n"
    "  mov x0, x10\n"
    "  blr x9\n"
    "  mov x8, #94\n"  // SYS_exit_group
    "  svc #0\n"
    "1:\n"
    "  ret\n"
    ".size lumvex_clone3_run, .-lumvex_clone3_run\n"
    ".section .note.GNU-stack,\"\",%progbits\n"
    ".text\n");
#endif
