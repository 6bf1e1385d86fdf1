/* Everything in one section and no relocations: keeps an export-free resource library at
   1 KiB (headers plus one 512-byte section), plus one section for a version block if it has
   one. */
SECTIONS
{
  .text __image_base__ + __section_alignment__ :
  {
    *(.text*) *(.rdata*) *(.data*) *(.bss*) *(.edata*) *(.idata*)
  }
  .rsrc BLOCK(__section_alignment__) : SUBALIGN(4)
  {
    KEEP (*(.rsrc)) KEEP (*(.rsrc$*))
  }
  /DISCARD/ : { *(.reloc) *(.debug*) *(.comment) *(.eh_frame*) }
}
