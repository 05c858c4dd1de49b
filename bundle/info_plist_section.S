/* The helper's Info.plist, byte for byte, in an ELF section named __info_plist:
   the counterpart of the __TEXT,__info_plist section that the Apple linker makes
   with -sectcreate. It is allocated and read-only like __TEXT, so strip keeps it,
   and the bundle tests read it back from the built executable.
   OLVEK_INFO_PLIST_FILE is the quoted path of the property list. */
#ifndef OLVEK_INFO_PLIST_FILE
#error "OLVEK_INFO_PLIST_FILE must name the property list to embed"
#endif

	.section __info_plist, "a", %progbits
	.incbin OLVEK_INFO_PLIST_FILE

/* Nothing here needs an executable stack. */
	.section .note.GNU-stack, "", %progbits
