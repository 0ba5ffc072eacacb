# Shared by the benchmarks in bench/: sourced from the repository's top folder, not run.

# Installs what the benchmarks measure with, builds the command-line tool of the release preset and
# sets $cli to it.
build_release_cli() {
    scripts/deps.sh bench >/dev/null
    cmake --preset release >/dev/null
    cmake --build --preset release -j2 --target velkaro-backup-cli >/dev/null
    cli="$PWD/build/release/src/cli/velkaro-backup-cli"
}

# A realistic ~/.gemini: many small .md/.json/.txt files in nested session folders, a few hundred
# .pb files of 100 KB to 5 MB, hidden folders and files (skipped), and files of unwanted types.
generate() { # generate <folder> <wanted file count>
    local g=$1 count=$2
    local pbs=220 small=$(($2 - 220 - 2))
    RANDOM=42
    local text
    text=$(head -c 6000 /dev/urandom | base64 -w 0)
    mkdir -p "$g"
    printf '# instructions\n%s\n' "${text:0:3000}" >"$g/GEMINI.md"
    printf '{"theme": "dark"}\n' >"$g/settings.json"
    local i dir ext
    for ((i = 0; i < small; i++)); do
        dir="$g/antigravity/brain/session-$((i / 400))/step-$(((i / 20) % 20))"
        ((i % 20 == 0)) && mkdir -p "$dir"
        case $((i % 3)) in 0) ext=md ;; 1) ext=json ;; *) ext=txt ;; esac
        printf '%s\n' "${text:0:$((200 + RANDOM % 7800))}" >"$dir/note-$i.$ext"
    done
    mkdir -p "$g/antigravity/conversations"
    for ((i = 0; i < pbs; i++)); do
        local r=$((RANDOM % 1000))
        head -c $((100000 + r * r * r / 1000000 * 4900)) /dev/urandom >"$g/antigravity/conversations/c-$i.pb"
    done
    # Skipped: hidden folders and files, links, unwanted types.
    mkdir -p "$g/.cache/blobs" "$g/antigravity/.git/objects" "$g/tmp/images"
    for ((i = 0; i < count / 10; i++)); do
        printf '%s' "${text:0:1000}" >"$g/.cache/blobs/b-$i.json"
    done
    for ((i = 0; i < 200; i++)); do
        printf '%s' "${text:0:500}" >"$g/antigravity/.git/objects/o-$i.md"
        printf '%s' "${text:0:2000}" >"$g/tmp/images/shot-$i.png"
        printf '%s' "${text:0:300}" >"$g/antigravity/brain/.hidden-$i.md"
    done
    head -c 20000000 /dev/urandom >"$g/tmp/history.sqlite"
    printf 'TOKEN=x\n' >"$g/.env"
    ln -s ../GEMINI.md "$g/antigravity/linked.md"
}

# The files the backup takes with the default settings, NUL-separated and relative to <folder>, for
# cp -a (listed outside the timing).
wanted_files() { # wanted_files <folder> > list
    (cd "$1" && find . -mindepth 1 -name '.*' -prune -o -type f \( -name GEMINI.md -o -name AGENTS.md \
        -o -iname '*.md' -o -iname '*.json' -o -iname '*.pbtxt' -o -iname '*.yaml' -o -iname '*.yml' \
        -o -iname '*.txt' -o -iname '*.proto' -o -iname '*.pb' \) -print0)
}

wanted_bytes() { # wanted_bytes <folder> <list from wanted_files>: their apparent size in bytes
    (cd "$1" && du -cb --files0-from="$2") | tail -1 | cut -f1
}

now_ns() { date +%s%N; }

median() { sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
