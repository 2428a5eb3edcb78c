/* Reset-vector ROM for the emulated-CPU test: from real mode straight to
 * long mode, with the register state XCR0 names enabled, then a
 * call to the test image at 1 MiB and a request to power off. The low
 * 4 GiB are mapped one to one with 2 MiB pages, except every other page
 * from 128 MiB up: those guard the ends of the test's buffers, and with no
 * interrupt table any access to them stops the machine. */
.set BASE, 0xF0000          /* where the last 64 KiB of ROM appear */
.set PML4, 0x10000
.set IMAGE, 0x100000
.set STACK_TOP, 0x800000
.set FIRST_GUARD, 65        /* 2 MiB page 65 is 130 MiB */
.set GUARDS, 10
.ifndef XCR0                /* register state the "OS" enables: */
.set XCR0, 0xE7             /* x87, SSE, AVX, opmask, ZMM0-15 high, ZMM16-31 */
.endif

.code16
.text
start:
  cli
  cld
  xorw %ax, %ax
  movw %ax, %ss
  movw $0x7000, %sp
  /* PML4 at 0x10000, PDPT at 0x11000, four page directories from 0x12000. */
  movw $(PML4 >> 4), %ax
  movw %ax, %es
  xorl %edi, %edi
  xorl %eax, %eax
  movl $0x1800, %ecx
  rep stosl
  movl $(PML4 + 0x1003), %es:0
  movl $(PML4 + 0x2003), %es:0x1000
  movl $(PML4 + 0x3003), %es:0x1008
  movl $(PML4 + 0x4003), %es:0x1010
  movl $(PML4 + 0x5003), %es:0x1018
  movl $0x2000, %edi
  movl $0x83, %eax          /* present, writable, 2 MiB */
1:
  movl %eax, %es:(%di)
  addl $0x200000, %eax
  addw $8, %di
  cmpw $0x6000, %di
  jne 1b
  movw $(0x2000 + FIRST_GUARD * 8), %di
  movw $GUARDS, %cx
2:
  movl $0, %es:(%di)
  addw $16, %di
  loop 2b

  movl $PML4, %eax
  movl %eax, %cr3
  movl %cr4, %eax
  orl $0x20, %eax           /* PAE */
  movl %eax, %cr4
  movl $0xC0000080, %ecx    /* EFER.LME */
  rdmsr
  orl $0x100, %eax
  wrmsr
  lgdtl %cs:(gdt_ptr - start)
  lidtl %cs:(idt_ptr - start)
  movl %cr0, %eax
  orl $0x80000001, %eax     /* protection and paging at once */
  movl %eax, %cr0
  ljmpl $0x08, $(long_mode - start + BASE)

.code64
long_mode:
  movw $0x10, %ax
  movw %ax, %ds
  movw %ax, %es
  movw %ax, %ss
  movq $STACK_TOP, %rsp
  movq %cr0, %rax
  andq $~4, %rax            /* no x87 emulation */
  orq $2, %rax              /* monitor coprocessor */
  movq %rax, %cr0
  movq %cr4, %rax
  orq $0x40600, %rax        /* OSFXSR, OSXMMEXCPT, OSXSAVE */
  movq %rax, %cr4
  xorl %ecx, %ecx
  xorl %edx, %edx
  movl $XCR0, %eax
  xsetbv
  movq $IMAGE, %rax
  call *%rax
  movw $0x8900, %dx         /* the emulator's power-off port */
  leaq (shutdown - start + BASE), %rsi
  movl $8, %ecx
3:
  lodsb
  outb %al, %dx
  loop 3b
4:
  hlt
  jmp 4b
shutdown:
  .ascii "Shutdown"

.p2align 3
gdt:
  .quad 0
  .quad 0x00AF9A000000FFFF  /* 64-bit code */
  .quad 0x00CF92000000FFFF  /* data */
gdt_ptr:
  .word gdt_ptr - gdt - 1
  .long gdt - start + BASE
idt_ptr:                    /* empty: any exception ends the run */
  .word 0
  .long 0

.org 0xFFF0                 /* the reset vector */
.code16
  ljmp $(BASE >> 4), $0
.org 0x10000
