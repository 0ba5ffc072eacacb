#!/bin/sh
# Usage: completion-test.sh <unpacked package root>
# The bash completion of the package, loaded the way bash-completion loads it on the first Tab (from
# <data dir>/bash-completion/completions), over a real store made with the packaged tool's backup.
# HOME and XDG_CONFIG_HOME must already point at a scratch home.
set -eu
root=$1
fail() {
    echo "FAIL: completion: $*" >&2
    exit 1
}
[ "$HOME" != "$(getent passwd "$(id -u)" | cut -d: -f6)" ] || fail "HOME is the real home folder"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
export PATH="$root/usr/bin:$PATH" XDG_DATA_DIRS="$root/usr/share"

mkdir -p "$HOME/.gemini"
echo '# rules' >"$HOME/.gemini/GEMINI.md"
velkaro-backup-cli backup >/dev/null || fail "backup"
# The id from the store itself, not from the list output the completion reads.
snapshot=$(cd "$HOME/Documents/VelkaroAntigraviti_Backups/snapshots" && ls -d ./*/snapshot_*)
snapshot=${snapshot#./}

# Each line of $out/replies is "<words typed>|<offers, sorted>".
status=0
bash --norc --noprofile -i -c '
    . /usr/share/bash-completion/bash_completion
    __load_completion velkaro-backup-cli || exit 3
    fn=$(complete -p velkaro-backup-cli | sed -n "s/.*-F \([^ ]*\) .*/\1/p")
    [ -n "$fn" ] || exit 4
    offers() {
        COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" COMP_POINT=${#COMP_LINE} COMPREPLY=()
        "$fn" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        echo "${*:2}|$(printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " ")"
    }
    offers velkaro-backup-cli ""
    offers velkaro-backup-cli restore ""
    offers velkaro-backup-cli restore "${1%%/*}"
    offers velkaro-backup-cli restore "$1" --scope ""
    offers velkaro-backup-cli list -
    offers velkaro-backup-cli backup -
    offers velkaro-backup-cli templates ""
' sh "$snapshot" >"$out/replies" 2>"$out/errors" || status=$?
if [ $status -ne 0 ]; then
    cat "$out/errors" >&2
    fail "bash could not load or run the completion (exit $status)"
fi

offered() { # the offers for the words typed, $1
    grep -F -x "$1|$2" "$out/replies" >/dev/null || {
        cat "$out/replies" >&2
        fail "after '$1' expected '$2'"
    }
}
first=$(grep '^|' "$out/replies") || fail "no offers for the first word"
for command in backup list show restore delete templates; do
    case $first in *" $command "* | "|$command "*) ;; *) fail "'$command' not offered: $first" ;; esac
done
offered "restore " "$snapshot "
offered "restore ${snapshot%%/*}" "$snapshot "
offered "restore $snapshot --scope " "all config markdown "
offered "list -" "--help --json "
offered "backup -" "--dry-run --help "
offered "templates " "apply import list "
echo "completion ok: $snapshot"
