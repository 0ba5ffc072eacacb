#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
# Usage: scripts/deps.sh [build|test|bench|fuzz|tidy]   (test also brings the desktop parts the tests start,
#        bench the tools the benchmarks in bench/ measure with, fuzz the clang that builds libFuzzer targets,
#        tidy the clang-tidy that scripts/tidy runs)
set -euo pipefail

build_pkgs=(cmake ninja-build g++ pkg-config qt6-base-dev nlohmann-json3-dev libgtest-dev libgmock-dev
            libqt6svg6)
test_pkgs=(xvfb xauth dbus dbus-x11 dunst trayer xdotool desktop-file-utils fonts-noto-cjk
           x11-utils appstream dpkg-dev file xfce4-panel libglib2.0-bin weston qt6-wayland
           qt6-translations-l10n lintian man-db groff-base bash-completion at-spi2-core python3-pyatspi diffutils patch clang-format)
bench_pkgs=(time xvfb xauth dbus trayer xdotool x11-utils imagemagick)
# clang 16 reads libstdc++ 12's <expected> once told its concepts are complete (the fuzz preset does).
fuzz_pkgs=(clang-16 libclang-rt-16-dev)
# clang-tidy 14 cannot read libstdc++ 12's C++23 headers (std::variant, <expected>); 16 can.
tidy_pkgs=(clang-tidy-16)

want=("${build_pkgs[@]}")
case "${1:-build}" in
test) want+=("${test_pkgs[@]}") ;;
bench) want+=("${bench_pkgs[@]}") ;;
fuzz) want+=("${fuzz_pkgs[@]}") ;;
tidy) want+=("${tidy_pkgs[@]}") ;;
esac

missing=()
for p in "${want[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
