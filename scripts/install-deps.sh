#!/usr/bin/env bash
# Installs the Debian packages the build, the programs and the tests need, when any is missing.
# Usage: scripts/install-deps.sh [build|test|fuzz|bench]...
set -euo pipefail

build_pkgs=(build-essential cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev sqlite3 libssl-dev libjpeg-dev libpng-dev zlib1g-dev libglib2.0-dev
  libpugixml-dev nlohmann-json3-dev libpq-dev libcpp-httplib-dev libfuse3-dev ccache
  libgtk-3-dev libwebkit2gtk-4.1-dev libayatana-appindicator3-dev)
# Pictures beyond JPEG and PNG: HEIF/AVIF, WebP, TIFF, GIF and camera raw.
build_pkgs+=(libheif-dev libwebp-dev libtiff-dev libgif-dev libraw-dev)
test_pkgs=(fuse3 ffmpeg libimage-exiftool-perl python3-mutagen python3 procps curl openssl nginx-light
  xvfb xauth iproute2 dbus-daemon postgresql)
# The pages: pictures and fonts made at build time, tested in Chromium with Node.
build_pkgs+=(librsvg2-bin fonts-open-sans python3)
# The Debian package: its library dependencies are found with dpkg-shlibdeps, which needs `file`.
build_pkgs+=(file dpkg-dev)
test_pkgs+=(chromium)
# Test pictures of every kind are made with the libraries' own tools and ImageMagick.
test_pkgs+=(libheif-examples libtiff-tools webp imagemagick)
fuzz_pkgs=(clang libclang-rt-14-dev)
# Programs the benchmarks compare against.
bench_pkgs=(exiv2 libimage-exiftool-perl ffmpeg libvips-tools libheif-examples heif-thumbnailer)

want=()
for set in "${@:-build test}"; do
  for s in $set; do
    case "$s" in
      build) want+=("${build_pkgs[@]}") ;;
      test) want+=("${build_pkgs[@]}" "${test_pkgs[@]}") ;;
      fuzz) want+=("${fuzz_pkgs[@]}") ;;
      bench) want+=("${bench_pkgs[@]}") ;;
    esac
  done
done

# Node and npm may come from another packaging (one nodejs that carries npm): ask Debian for
# them only when the commands are missing.
if [[ " ${want[*]} " == *" chromium "* ]]; then
  command -v node >/dev/null || want+=(nodejs)
  command -v npm >/dev/null || want+=(npm)
fi

missing=()
declare -A seen=()
for p in "${want[@]}"; do
  [ -n "${seen[$p]:-}" ] && continue
  seen[$p]=1
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
