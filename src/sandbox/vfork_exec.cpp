#include "sandbox/vfork_exec.hpp"

#include <cstddef>

// Offsets into VforkExec, as the assembly below uses them.
static_assert(offsetof(lumvex::VforkExec, number) == 0);
static_assert(offsetof(lumvex::VforkExec, args) == 8);
static_assert(offsetof(lumvex::VforkExec, control_fd) == 48);
static_assert(offsetof(lumvex::VforkExec, path) == 56);
static_assert(offsetof(lumvex::VforkExec, argv) == 64);
static_assert(offsetof(lumvex::VforkExec, envp) == 72);
static_assert(offsetof(lumvex::VforkExec, error) == 80);

// The child resumes right after the system call, with the parent's
// registers (but for the result) and on the parent's stack, which it leaves
// as it is: it keeps the request in a register that system calls preserve,
// and never returns.
#if defined(__x86_64__)
__asm__(
    ".text\n"
    ".globl lumvex_vfork_exec\n"
    ".type lumvex_vfork_exec, @function\n"
    "lumvex_vfork_exec:\n"
    "  push %rbx\n"
    "  mov %rdi, %rbx\n"
    "  mov 0(%rbx), %rax\n"
    "  mov 8(%rbx), %rdi\n"
    "  mov 16(%rbx), %rsi\n"
    "  mov 24(%rbx), %rdx\n"
    "  mov 32(%rbx), %r10\n"
    "  mov 40(%rbx), %r8\n"
    "  syscall\n"
    "  test %rax, %rax\n"
    "  jnz 1f\n"
    "  mov 48(%rbx), %rdi\n"  // control_fd
    "  test %rdi, %rdi\n"
    "  js 2f\n"
    "  mov $3, %esi\n"
    "  xor %edx, %edx\n"
    "  mov $292, %eax\n"  // SYS_dup3
    "  syscall\n"
    "  test %rax, %rax\n"
    "  js 3f\n"
    "2:\n"
    "  mov 56(%rbx), %rdi\n"
    "  mov 64(%rbx), %rsi\n"
    "  mov 72(%rbx), %rdx\n"
    "  mov $59, %eax\n"  // SYS_execve
    "  syscall\n"
    "3:\n"
    "  mov %rax, 80(%rbx)\n"
    "  mov $127, %edi\n"
    "  mov $231, %eax\n"  // SYS_exit_group
    "  syscall\n"
    "  hlt\n"
    "1:\n"
    "  pop %rbx\n"
    "  ret\n"
    ".size lumvex_vfork_exec, .-lumvex_vfork_exec\n"
    ".section .note.GNU-stack,\"\",@progbits\n"
    ".text\n");
#elif defined(__aarch64__)
__asm__(
    ".text\n"
    ".globl lumvex_vfork_exec\n"
    ".type lumvex_vfork_exec, %function\n"
    "lumvex_vfork_exec:\n"
    "  stp x19, x30, [sp, #-16]!\n"
    "  mov x19, x0\n"
    "  ldr x8, [x19, #0]\n"
    "  ldr x0, [x19, #8]\n"
    "  ldr x1, [x19, #16]\n"
    "  ldr x2, [x19, #24]\n"
    "  ldr x3, [x19, #32]\n"
    "  ldr x4, [x19, #40]\n"
    "  svc #0\n"
    "  cbnz x0, 1f\n"
    "  ldr x0, [x19, #48]\n"  // control_fd
    "  tbnz x0, #63, 2f\n"
    "  mov x1, #3\n"
    "  mov x2, #0\n"
    "  mov x8, #24\n"  // SYS_dup3
    "  svc #0\n"
    "  tbnz x0, #63, 3f\n"
    "2:\n"
    "  ldr x0, [x19, #56]\n"
    "  ldr x1, [x19, #64]\n"
    "  ldr x2, [x19, #72]\n"
    "  mov x8, #221\n"  // SYS_execve
    "  svc #0\n"
    "3:\n"
    "  str x0, [x19, #80]\n"
    "  mov x0, #127\n"
    "  mov x8, #94\n"  // SYS_exit_group
    "  svc #0\n"
    "1:\n"
    "  ldp x19, x30, [sp], #16\n"
    "  ret\n"
    ".size lumvex_vfork_exec, .-lumvex_vfork_exec\n"
    ".section .note.GNU-stack,\"\",%progbits\n"
    ".text\n");
#endif
