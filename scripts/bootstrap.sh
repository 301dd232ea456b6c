#!/usr/bin/env bash
# Installs every Debian package that building, testing and CI need.
# Idempotent: when everything is present it installs nothing. Needs root (or sudo).
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config clang-format
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
    libtiff-dev libqpdf-dev
    libssl-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    # Other readers for the comparison benchmark and the tests of damaged PDFs: MuPDF (a static
    # library and what it links), poppler.
    libmupdf-dev libmujs-dev libgumbo-dev libopenjp2-7-dev libjbig2dec0-dev libfreetype-dev libjpeg-dev libpoppler-cpp-dev
    xvfb xauth dbus fonts-dejavu-core
    # Validators of the desktop entry and the AppStream data, run by the tests.
    desktop-file-utils appstream
    clang-14 libclang-rt-14-dev time
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "bootstrap: all packages present"
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "bootstrap: installing ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
