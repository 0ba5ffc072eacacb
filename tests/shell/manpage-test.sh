#!/bin/sh
# Usage: manpage-test.sh <build dir>
# Both manual pages render without a single roff warning, and each names every command and option
# that its program's own --help lists: every option anywhere in the help, and for each help entry
# ("  <command words> <arguments>  <text>") a line of the page that starts with those command words
# and carries all of the entry's arguments. So a page cannot fall behind its program.
set -eu
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
export LC_ALL=C.UTF-8 HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/home/.config" XDG_RUNTIME_DIR="$scratch/run"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# One token per word, brackets and commas dropped, "--scope=x" split, so that "[--json]" in the help
# and "--json" in the page are the same word.
words() {
    sed 's/^ *//; s/[][,()=]/ /g; s/  */ /g; s/ $//'
}

render() {
    page=$build/data/man/$1.1.gz
    [ -f "$page" ] || fail "$page was not built"
    warnings=$(gzip -dc "$page" | groff -ww -z -man -Tutf8 -k 2>&1) || fail "$1: groff failed"
    [ -z "$warnings" ] || fail "$1: groff warns: $warnings"
    warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$1: man warns: $warnings"
    # Wide enough that no entry of the page is broken over two lines.
    MANWIDTH=400 man -l "$page" | words >"$scratch/$1.page"
}

# Prints each option and each entry of help file $1 that page file $2 lacks.
missing_from_page() {
    awk -v pagefile="$2" '
        function words(text, out) { gsub(/[][,()=]/, " ", text); return split(text, out, " ") }
        function inPage(word,   i) { for (i = 1; i <= lines; i++) if (index(page[i], " " word " ")) return 1; return 0 }
        BEGIN { while ((getline line < pagefile) > 0) page[++lines] = " " line " " }
        {
            for (i = words($0, t); i > 0; i--)
                if (t[i] ~ /^--?[A-Za-z0-9][A-Za-z0-9-]*$/ && !inPage(t[i])) print "option " t[i]
        }
        /^  [^ ]/ {
            entry = substr($0, 3)
            if (cut = index(entry, "  ")) entry = substr(entry, 1, cut - 1)
            n = words(entry, t)
            head = ""
            for (k = 1; k <= n && t[k] ~ /^[a-z][a-z0-9-]*$/; k++) head = head " " t[k]
            if (head == "") next
            for (i = 1; i <= lines; i++) {
                if (index(page[i], head " ") != 1) continue
                for (j = k; j <= n && index(page[i], " " t[j] " "); j++) ;
                if (j > n) next
            }
            print "entry" head " (" entry ")"
        }
    ' "$1"
}

render velkaro-backup-cli
render velkaro-backup

cli=$build/src/cli/velkaro-backup-cli
"$cli" --help >"$scratch/cli.help" || fail "cli --help"
for command in backup list show restore diff delete templates; do
    grep -q "^  $command " "$scratch/cli.help" || fail "the help lists no $command: the entries are read wrongly"
done
missing=$(missing_from_page "$scratch/cli.help" "$scratch/velkaro-backup-cli.page")
[ -z "$missing" ] || fail "velkaro-backup-cli(1) lacks what the help lists:
$missing"

# The check itself must see a gap: the page without its restore entry is short of it.
grep -v '^restore ' "$scratch/velkaro-backup-cli.page" >"$scratch/short.page"
missing_from_page "$scratch/cli.help" "$scratch/short.page" | grep -q '^entry restore ' ||
    fail "a page without restore passed the comparison"

# The tray application answers --help before it starts; one that starts up instead is stopped.
status=0
DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/velkaro-test-bus QT_QPA_PLATFORM=offscreen timeout -k 2 5 \
    "$build/src/velkaro-backup" --help >"$scratch/app.help" 2>&1 || status=$?
[ $status -eq 0 ] || fail "velkaro-backup --help exited $status"
grep -q -e '--minimized' "$scratch/app.help" || fail "velkaro-backup --help names no --minimized"
missing=$(missing_from_page "$scratch/app.help" "$scratch/velkaro-backup.page")
[ -z "$missing" ] || fail "velkaro-backup(1) lacks what the help lists:
$missing"
echo "manual pages ok"
