// Small helpers for the partition tests: sparse image files, crafted boot
// sectors, and the real tools run as child processes.
#pragma once

#include "devices/volume_item.h"
#include "partition/boot_sector.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>

namespace part_test {

using sector_bytes_t = std::array<uint8_t, 512>;

inline bool make_sparse(const QString& path, uint64_t bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.resize(qint64(bytes));
}

inline bool write_at(const QString& path, uint64_t offset, const void* data, size_t length)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite) || !f.seek(qint64(offset)))
        return false;
    return f.write(static_cast<const char*>(data), qint64(length)) == qint64(length);
}

inline QByteArray read_at(const QString& path, uint64_t offset, size_t length)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || !f.seek(qint64(offset)))
        return {};
    return f.read(qint64(length));
}

// Copies the whole of src into dst at byte offset (dst keeps its holes).
inline bool place_file(const QString& dst, uint64_t offset, const QString& src)
{
    QFile in(src);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QByteArray data = in.readAll();
    return write_at(dst, offset, data.constData(), size_t(data.size()));
}

// A minimal NTFS boot sector whose total-sector field is total.
inline sector_bytes_t ntfs_boot_sector(uint64_t total)
{
    sector_bytes_t s{};
    s[0] = 0xEB; s[1] = 0x52; s[2] = 0x90;
    std::memcpy(&s[3], "NTFS    ", 8);
    for (int i = 0; i < 8; ++i)
        s[0x28 + i] = uint8_t(total >> (8 * i));
    s[510] = 0x55; s[511] = 0xAA;
    return s;
}

// A boot sector with a FAT-style OEM name and a 32-bit total at 0x20.
inline sector_bytes_t oem_boot_sector(const char* oem8, uint32_t total32)
{
    sector_bytes_t s{};
    s[0] = 0xEB; s[1] = 0x58; s[2] = 0x90;
    std::memcpy(&s[3], oem8, 8);
    for (int i = 0; i < 4; ++i)
        s[0x20 + i] = uint8_t(total32 >> (8 * i));
    s[510] = 0x55; s[511] = 0xAA;
    return s;
}

inline sector_bytes_t signature_only_sector()
{
    sector_bytes_t s{};
    s[510] = 0x55; s[511] = 0xAA;
    return s;
}

inline bool put_sector(const QString& image, uint64_t sector, const sector_bytes_t& s)
{
    return write_at(image, sector * 512, s.data(), s.size());
}

inline drive_item_s drive_for(const QString& path)
{
    drive_item_s d;
    d.device_path = path;
    d.size_bytes = uint64_t(QFile(path).size());
    d.geometry = std::make_shared<platform::disk_geometry_s>();
    return d;
}

// Runs a tool; returns its exit code, or -1 when it could not start.
inline int run_tool(const QString& program, const QStringList& args, QByteArray* out = nullptr,
                    int timeout_ms = 120000)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return -1;
    if (!p.waitForFinished(timeout_ms)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// The tool's path, looked up in PATH and the sbin folders, or empty.
inline QString find_tool(const QString& name)
{
    return QStandardPaths::findExecutable(name, {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin",
                                                 "/sbin", "/bin"});
}

inline bool is_root() { return geteuid() == 0; }

}  // namespace part_test

#define PART_NEED_TOOL(var, name)                                        \
    const QString var = ::part_test::find_tool(name);                   \
    if (var.isEmpty())                                                  \
        QSKIP("skip: " name " is not installed");
