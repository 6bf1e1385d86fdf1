/* Everything in one section and no relocations: keeps an export-free resource library at
   1 KiB (headers plus one 512-byte section). */
SECTIONS
{
  .text __image_base__ + __section_alignment__ :
  {
    *(.text*) *(.rdata*) *(.data*) *(.bss*) *(.edata*) *(.idata*)
  }
  /DISCARD/ : { *(.reloc) *(.debug*) *(.comment) *(.eh_frame*) }
}
