#!/bin/sh
# Usage: package-test.sh <source dir> <build dir>
# The desktop files validate, `cmake --install` lays out what the desktop needs, and the Debian package
# carries the dependencies dpkg-shlibdeps found and passes lintian without an error or a warning; its
# manual pages, documentation and bash completion are in place, and the completion offers the
# commands and a real snapshot id; both programs run from the unpacked package, the tray application
# on a virtual display, where a second launch hands over to it.
set -eu
src=$1
build=$2
scratch=$(mktemp -d)
app_pid=
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

desktop-file-validate "$src/data/velkaro-backup.desktop" || fail "desktop file"
grep -qx 'MimeType=x-scheme-handler/velkaro-backup;' "$src/data/velkaro-backup.desktop" || fail "MimeType"
grep -qx 'Exec=velkaro-backup %u' "$src/data/velkaro-backup.desktop" || fail "Exec"
appstreamcli validate --no-net "$build/data/com.velkaro.AntigravityBackup.metainfo.xml" || fail "metainfo"

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
for f in bin/velkaro-backup bin/velkaro-backup-cli share/applications/velkaro-backup.desktop \
    share/icons/hicolor/scalable/apps/velkaro-backup.svg share/metainfo/com.velkaro.AntigravityBackup.metainfo.xml; do
    [ -f "$scratch/prefix/$f" ] || fail "cmake --install did not put $f"
done

(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/deb" >/dev/null) || fail "cpack"
deb=$(ls "$scratch"/deb/velkaro-backup_*.deb) || fail "no .deb"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for d in libqt6widgets6 libqt6network6 libqt6dbus6 libc6 libstdc++6 qt6-qpa-plugins libqt6svg6 qt6-translations-l10n; do
    echo "$depends" | grep -q "$d" || fail "Depends lacks $d"
done
dpkg-deb -x "$deb" "$scratch/root"
for f in share/applications/velkaro-backup.desktop share/man/man1/velkaro-backup.1.gz \
    share/man/man1/velkaro-backup-cli.1.gz share/doc/velkaro-backup/copyright share/doc/velkaro-backup/changelog.gz \
    share/bash-completion/completions/velkaro-backup-cli; do
    [ -f "$scratch/root/usr/$f" ] || fail "package lacks $f"
done

export HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/home/.config" XDG_RUNTIME_DIR="$scratch/run"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
# Debian's own checks, with no settings of the user's: every error and every warning fails.
lintian --no-cfg --fail-on error,warning "$deb" || fail "lintian"
"$src/tests/shell/completion-test.sh" "$scratch/root" || fail "bash completion"

version=$("$scratch/root/usr/bin/velkaro-backup-cli" --version) || fail "cli --version"
echo "cli: $version"
"$scratch/root/usr/bin/velkaro-backup-cli" templates list >/dev/null || fail "cli templates list"

# The tray application from the package: resident start, then a second launch hands over and exits 0.
export QT_QPA_PLATFORM=xcb
"$scratch/root/usr/bin/velkaro-backup" -m &
app_pid=$!
n=0
until [ -S "$XDG_RUNTIME_DIR/velkaro-backup-$(id -u)" ]; do
    n=$((n + 1))
    [ $n -gt 100 ] && fail "the installed application did not start"
    kill -0 "$app_pid" 2>/dev/null || fail "the installed application ended"
    sleep 0.1
done
timeout 5 "$scratch/root/usr/bin/velkaro-backup" velkaro-backup://open || fail "second launch"
kill -0 "$app_pid" || fail "the running instance ended"
echo "package ok"
