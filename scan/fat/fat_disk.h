// The FAT reader's disk layer: whole drives by number, read in 512-byte
// sectors. Drive N is entry N of the platform's drive table (block devices,
// then opened disk images). One 65,536-byte transfer buffer and one mutex
// serve every drive; a monitor thread marks removed media not ready.
#pragma once

#include <cstdint>
#include <string>

// disk_read results.
inline constexpr int disk_ok = 0;
inline constexpr int disk_error = 1;
inline constexpr int disk_not_ready = 3;
inline constexpr int disk_bad_parameter = 4;

// Status bits of a drive (disk_init's result).
inline constexpr uint8_t disk_status_not_ready = 0x01;
inline constexpr uint8_t disk_status_write_protected = 0x04;

// Largest single transfer.
inline constexpr uint32_t disk_transfer_bytes = 65536;

// Enumerates the drive table and starts the monitor thread. Returns the
// number of drives. A second call re-enumerates, like disk_rescan.
int disk_startup();

// Closes every drive and enumerates the drive table again (call after the
// table changed: refresh, an image opened). Returns the number of drives.
int disk_rescan();

// Queries a drive again. Returns its status bits; disk_status_not_ready for
// a number outside the table or when the layer is busy for 5 s.
uint8_t disk_init(uint8_t drive);

// Reads count sectors of 512 bytes from the absolute sector of a drive into
// buffer. Returns disk_ok, disk_error (failed or short read),
// disk_not_ready (unknown drive, not ready, busy for 3 s) or
// disk_bad_parameter (more than 65,536 bytes).
int disk_read(uint8_t drive, uint8_t* buffer, uint32_t sector, uint32_t count);

// Current status bits of a drive without querying it again
// (disk_status_not_ready for an unknown drive).
uint8_t disk_status(uint8_t drive);

// Bytes per sector the drive reports (the reader works only with 512), or 0
// for an unknown drive.
uint32_t disk_sector_size(uint8_t drive);

// Number of whole sectors on the drive (0 when unknown).
uint64_t disk_sector_count(uint8_t drive);

// Device path of drive N as the layer opened it, or empty.
std::string disk_device_path(uint8_t drive);
