; Master boot code: the first 440 bytes of sector 0, placed there by the
; partition table repair. The BIOS loads the sector to 0000:7C00 and jumps to
; it with the boot drive in DL. We move out of the way to 0000:0600, pick the
; active partition, load its first sector to 0000:7C00 and jump to it with DL
; still the boot drive and DS:SI pointing at the chosen entry.
;
; Assemble with: nasm -f bin -o mbr.bin mbr.asm   (exactly 440 bytes)
; The bytes are kept as a table in partition/boot_code.cpp; a test checks that
; the table and this source agree.

bits 16
org 0x0600

LOAD_ADDR       equ 0x7C00
TABLE           equ 0x07BE          ; partition table in the relocated copy
SIGNATURE       equ 0x7DFE          ; 0x55AA of the loaded sector
READ_TRIES      equ 5

start:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, LOAD_ADDR
        mov     ds, ax
        mov     es, ax
        mov     si, LOAD_ADDR
        mov     di, 0x0600
        mov     cx, 0x0100          ; 256 words: the whole sector
        cld
        rep movsw
        sti
        jmp     0x0000:relocated

relocated:
        mov     [boot_drive], dl

        ; Exactly one entry may be active (top bit of the status byte); every
        ; other status byte must be zero.
        xor     bp, bp              ; the active entry, once seen
        mov     si, TABLE
        mov     cx, 4
.next_entry:
        mov     al, [si]
        test    al, al
        jz      .zero_status
        jns     invalid_table       ; non-zero without the top bit
        test    bp, bp
        jnz     invalid_table       ; a second active entry
        mov     bp, si
.zero_status:
        add     si, 16
        loop    .next_entry
        test    bp, bp
        jnz     read_boot_sector
        int     0x18                ; nothing active: next boot device
        jmp     halt

read_boot_sector:
        mov     di, READ_TRIES
.try:
        mov     dl, [boot_drive]
        mov     ah, 0x41            ; extensions present?
        mov     bx, 0x55AA
        int     0x13
        jc      .chs_read
        cmp     bx, 0xAA55
        jne     .chs_read
        test    cl, 1               ; packet interface supported
        jz      .chs_read

        ; Extended read: a disk address packet on the stack.
        push    dword 0             ; LBA bits 32-63
        push    dword [bp + 8]      ; LBA bits 0-31, from the entry
        push    word 0              ; buffer segment
        push    word LOAD_ADDR      ; buffer offset
        push    word 1              ; one sector
        push    word 0x0010         ; packet size 16, reserved byte 0
        mov     si, sp
        mov     dl, [boot_drive]
        mov     ah, 0x42
        int     0x13
        lea     sp, [si + 16]       ; drop the packet, keep CF
        jnc     .loaded
        jmp     .failed

.chs_read:
        mov     dl, [boot_drive]
        mov     dh, [bp + 1]        ; head
        mov     cx, [bp + 2]        ; sector | cylinder bits 8-9, cylinder low
        mov     bx, LOAD_ADDR
        mov     ax, 0x0201          ; read one sector
        int     0x13
        jnc     .loaded

.failed:
        dec     di
        jz      load_error
        xor     ah, ah              ; reset the disk before the next try
        mov     dl, [boot_drive]
        int     0x13
        jmp     .try

.loaded:
        cmp     word [SIGNATURE], 0xAA55
        jne     missing_os

        call    enable_a20
        pusha                       ; the BIOS may not keep BP, our entry
        call    measure_boot_sector
        popa

        mov     dl, [boot_drive]
        mov     si, bp              ; DS:SI -> the active entry
        jmp     0x0000:LOAD_ADDR

; Opens the A20 gate through the BIOS, else through the keyboard controller.
; Each wait on the controller is bounded, so a machine without one goes on.
enable_a20:
        mov     ax, 0x2401
        int     0x15
        jnc     .done
        call    .wait_input
        mov     al, 0xD1            ; write output port
        out     0x64, al
        call    .wait_input
        mov     al, 0xDF            ; A20 on
        out     0x60, al
        call    .wait_input
.done:
        ret
.wait_input:
        xor     cx, cx
.spin:
        in      al, 0x64
        test    al, 2
        loopnz  .spin
        ret

; Hands the loaded sector to the BIOS's trusted-platform service, when there
; is one, so that it is measured before it runs.
measure_boot_sector:
        mov     ax, 0xBB00          ; status check
        int     0x1A
        test    eax, eax
        jnz     .none
        cmp     ebx, 0x41504354     ; "TCPA"
        jne     .none
        cmp     cx, 0x0102          ; interface version 1.2 or later
        jb      .none
        mov     ax, 0xBB07          ; hash, log and extend
        mov     ecx, 0x200          ; length of the sector
        mov     edx, 8              ; platform configuration register 8
        xor     esi, esi            ; no event data
        mov     di, LOAD_ADDR       ; ES:DI -> the sector
        int     0x1A
.none:
        ret

invalid_table:
        mov     al, [msg_invalid_locator]
        jmp     print_and_halt
load_error:
        mov     al, [msg_error_locator]
        jmp     print_and_halt
missing_os:
        mov     al, [msg_missing_locator]
print_and_halt:
        ; Each locator is the message's offset in the sector less 256.
        mov     ah, 0x07
        mov     si, ax
.char:
        lodsb
        test    al, al
        jz      halt
        mov     ah, 0x0E
        mov     bx, 0x0007
        int     0x10
        jmp     .char
halt:
        hlt
        jmp     halt

boot_drive:     db 0

msg_invalid:    db "Invalid partition table", 0
msg_error:      db "Error loading operating system", 0
msg_missing:    db "Missing operating system", 0

        times 437 - ($ - $$) db 0
msg_invalid_locator:    db msg_invalid - $$ - 256
msg_error_locator:      db msg_error - $$ - 256
msg_missing_locator:    db msg_missing - $$ - 256
