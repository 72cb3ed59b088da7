// The exception guard on Windows: calls the routine inside a structured
// exception handling scope. __C_specific_handler consults the scope table
// below; its filter stores the exception code in this frame and the handler
// returns that code.
    .text
    .globl CallGuarded
    .def CallGuarded; .scl 2; .type 32; .endef
    .seh_proc CallGuarded
CallGuarded:
    subq $40, %rsp              // shadow space for the callee, the code slot at 32
    .seh_stackalloc 40
    .seh_endprologue
    movq %rcx, %rax             // routine
    movq %rdx, %rcx             // its context
.Lguarded_begin:
    callq *%rax
    nop                         // keeps the return address inside the scope
.Lguarded_end:
    addq $40, %rsp
    ret
.Lguarded_landing:
    movl 32(%rsp), %eax         // the code CallGuardedFilter stored
    addq $40, %rsp
    ret
    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    .long 1                     // one scope record
    .rva .Lguarded_begin, .Lguarded_end, CallGuardedFilter, .Lguarded_landing
    .text
    .seh_endproc
