// Ends the table of delay-import descriptors with the all-zero entry that readers of the image
// stop at. dlltool's delay-import library places the descriptor for UnityPlayer.dll in the
// grouped section ".text$2"; grouped sections are laid out sorted by name, so this one follows
// it directly. scripts/pe-delay-directory.py then points the image's delay-import directory at
// the table (the linker leaves that entry empty) and checks that the terminator is in place.
asm(".section .text$2zz,\"dr\"\n"
    ".p2align 4\n"
    ".zero 32\n"
    ".text\n");
