# Shared by ./run and ./test: installs the Debian packages that are missing and
# configures and builds the project in build/ (or $DRAVIK_BUILD_DIR).

DRAVIK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DRAVIK_BUILD_DIR=${DRAVIK_BUILD_DIR:-$DRAVIK_ROOT/build}

# Packages to build the engine and the command line. The GStreamer plugins are
# what Qt Multimedia plays audio and video through at run time.
DRAVIK_BUILD_PACKAGES=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev qt6-base-dev
                       qt6-image-formats-plugins libarchive-dev qt6-pdf-dev libminizip-dev
                       qt6-multimedia-dev gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
                       mdbtools-dev)
# Tools that make and check the test images.
DRAVIK_TEST_PACKAGES=(qemu-utils dosfstools mtools ntfs-3g e2fsprogs fdisk sleuthkit 7zip python3 locales
                      gzip bzip2 xz-utils zstd lz4 zip openjdk-17-jdk-headless imagemagick sox ffmpeg flac libopenjp2-tools sqlite3 mdbtools
                      libreoffice-writer-nogui libreoffice-calc-nogui libreoffice-impress-nogui
                      libreoffice-draw-nogui poppler-utils groff
                      libtiff-tools qpdf pandoc python3-ezdxf python3-dbf python3-dbfread python3-pil
                      gcc-mingw-w64-x86-64-win32 osslsigncode openssl
                      xvfb xauth fonts-dejavu-core libvhdi-utils fuse3 desktop-file-utils libxml2-utils)

dravik_install_missing() {
  local missing=()
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}" >&2
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2 || return 1
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

dravik_build() {
  cmake -S "$DRAVIK_ROOT" -B "$DRAVIK_BUILD_DIR" -G Ninja "$@" >&2 || return 1
  cmake --build "$DRAVIK_BUILD_DIR" >&2
}

# Configures and builds the suite with coverage counters in $1, and lets the
# unprivileged user a test runs dravik as write its counts there too.
dravik_coverage_build() {
  cmake -S "$DRAVIK_ROOT" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic -O1" \
    -DDRAVIK_BUILD_TESTS=ON -DDRAVIK_BUILD_GUI=ON -DDRAVIK_BUILD_BENCH=OFF >&2 || return 1
  cmake --build "$1" >&2 || return 1
  find "$1" -type d -name '*.dir' -exec chmod a+rwx {} +
}
