#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the program and the
# tests need and this machine lacks. Does nothing when all is there.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libgl1-mesa-dev libblkid-dev zlib1g-dev nasm
  # images in containers: E01/Ex01, VHD/VHDX, VMDK
  libewf-dev libvhdi-dev libvmdk-dev
  # fonts the interface asks for by name (fontconfig substitutes)
  fonts-dejavu-core fonts-liberation fonts-noto-cjk
  # disk tools: the test fixtures and the demo image are made with them
  dosfstools mtools ntfs-3g fdisk util-linux python3
  # exFAT volumes for the exFAT scanner tests: mkfs.exfat and the FUSE driver
  exfatprogs exfat-fuse
  # a display for the GUI on machines without one
  xvfb xauth
  # tests: the boot-code check runs our master boot code in an emulator, the
  # fixture check reads deleted files back with an independent reader
  qemu-system-x86 sleuthkit p7zip-full
  # container images for the image-format tests, made from raw fixtures
  ewf-tools qemu-utils
  # carving tests: pictures, documents, videos and audio made by the tools
  # that make them
  imagemagick libjpeg-turbo-progs libimage-exiftool-perl ffmpeg zstd
  # disks opened as the user: udisks2 (and polkit) hand over a descriptor,
  # pkexec starts our helper where udisks2 is absent
  udisks2 pkexec
  # the Debian package (scripts/package.sh): its checks and its install test
  dpkg-dev desktop-file-utils appstream man-db groff-base
  # fuzzing (scripts/fuzz.sh): libFuzzer comes with Debian's clang; e2fsprogs
  # makes the loop-mounted file system of the output-guard test
  clang-14 e2fsprogs
  # partition search and GPT repair tests: GPT tables and the file systems
  # the search recognises beside FAT, exFAT and NTFS
  gdisk xfsprogs btrfs-progs
  # the failing-disk test tool: an image served through FUSE with bad sectors
  libfuse3-dev fuse3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
