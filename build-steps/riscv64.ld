/* SPDX-License-Identifier: MIT */
/* The RISC-V image as ld.lld links it for build-steps/elf_to_pe.py: addresses are
   the PE image's RVAs (its base is 0). .text starts right after the PE
   headers (0x200 for four sections), every section on a 64-byte boundary,
   constants and zero-filled data inside .data so that the PE holds them. */
ENTRY(ImageEntry)
SECTIONS {
  . = 0x200;
  .text : { *(.text .text.*) }
  . = ALIGN(0x40);
  .data : {
    *(.rodata .rodata.* .srodata .srodata.*)
    *(.data .data.* .sdata .sdata.* .got .got.*)
    *(.sbss .sbss.* .bss .bss.* COMMON)
  }
  . = ALIGN(0x40);
  .rela.dyn : { *(.rela.dyn .rela.*) }
  /* The converter ignores the symbol tables of -pie; placed here, they never
     come before .text, even in an image with no relocation. */
  .dynsym : { *(.dynsym) }
  .gnu.hash : { *(.gnu.hash) }
  .hash : { *(.hash) }
  .dynstr : { *(.dynstr) }
  /DISCARD/ : { *(.comment) *(.note*) *(.riscv.attributes) *(.eh_frame*) }
}
