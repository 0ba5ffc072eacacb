#!/bin/sh
# Usage: sni-host-test.sh <velkaro-backup> [screenshot folder]
# The tray item against a real StatusNotifier host: xfce4-panel (its system tray plugin alone) on a
# virtual display with a private session bus, and dunst as the notification server. Checks what the
# host sees over D-Bus (the item registered with the watcher, its title, its menu), that a left click
# on the icon in the panel opens the menu, and that a backup chosen in the host's menu is notified
# while no window is shown, and not while one is (a failure always is). Every process it starts is
# stopped when it ends.
set -u
if [ "${1:-}" != --inside ]; then
    app=$1
    scratch=$(mktemp -d) || exit 1
    trap 'rm -rf "$scratch"' EXIT
    # Set before the bus starts: the services it activates (xfconfd) inherit them, so nothing reaches
    # the real home.
    export HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/home/.config" XDG_CACHE_HOME="$scratch/home/.cache"
    export XDG_DATA_HOME="$scratch/home/.local/share" XDG_RUNTIME_DIR="$scratch/run" NO_AT_BRIDGE=1
    panel_dir="$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml"
    mkdir -p "$panel_dir" "$XDG_RUNTIME_DIR" "$HOME/.gemini"
    chmod 700 "$XDG_RUNTIME_DIR"
    echo "# rules" >"$HOME/.gemini/GEMINI.md"
    cat >"$panel_dir/xfce4-panel.xml" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="28"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
EOF
    unset DBUS_SESSION_BUS_ADDRESS
    timeout -k 5 150 xvfb-run -a -s "-screen 0 1280x1024x24" dbus-run-session -- sh "$0" --inside "$app" "${2:-}"
    exit $?
fi

app=$2
shots=$3
. "$(dirname "$0")/inside-support.sh"
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
bus() { gdbus call --session --timeout 5 "$@"; }
prop() { bus -d "$1" -o "$2" -m org.freedesktop.DBus.Properties.Get "$3" "$4"; }
shot() { [ -n "$shots" ] && import -window root "$shots/$1.png"; }
# The viewable windows of a process as "x,y WxH" lines.
windows_of() {
    for w in $(xdotool search --pid "$1" 2>/dev/null); do
        xwininfo -id "$w" 2>/dev/null | awk '/Absolute upper-left X/ {x=$4} /Absolute upper-left Y/ {y=$4}
            /Width:/ {w=$2} /Height:/ {h=$2} /Map State: IsViewable/ {print x "," y " " w "x" h}'
    done
}
has_window() { [ -n "$(windows_of "$1")" ]; }
has_no_window() { [ -z "$(windows_of "$1")" ]; }
host_ready() { prop org.kde.StatusNotifierWatcher /StatusNotifierWatcher org.kde.StatusNotifierWatcher \
    IsStatusNotifierHostRegistered | grep -q true; }
# Shown notifications reach dunst's history once closed.
notified() {
    dunstctl close-all
    dunstctl history | grep -c '"バックアップ完了"'
}
notified_is() { [ "$(notified)" -eq "$1" ]; }
failures_are() {
    dunstctl close-all
    [ "$(dunstctl history | grep -c '"バックアップエラー"')" -eq "$1" ]
}
snapshots() { find "$HOME/Documents/VelkaroAntigraviti_Backups/snapshots" -name snapshot.json 2>/dev/null | wc -l; }
snapshots_are() { [ "$(snapshots)" -eq "$1" ]; }

printf '[global]\n    stack_duplicates = false\n' >"$HOME/dunstrc"
dunst -config "$HOME/dunstrc" >/dev/null 2>&1 &
pids="$pids $!"
xfce4-panel --disable-wm-check >/dev/null 2>&1 &
panel_pid=$!
pids="$pids $panel_pid"
within 150 host_ready || fail "xfce4-panel registered no StatusNotifier host"

"$app" -m &
app_pid=$!
pids="$pids $app_pid"

# The item the host knows: registered with the watcher by our process.
item_of_app() {
    for entry in $(prop org.kde.StatusNotifierWatcher /StatusNotifierWatcher org.kde.StatusNotifierWatcher \
        RegisteredStatusNotifierItems | grep -o "[^'\[ ]*/[A-Za-z/]*"); do
        service=${entry%%/*}
        owner=$(bus -d org.freedesktop.DBus -o /org/freedesktop/DBus -m org.freedesktop.DBus.GetConnectionUnixProcessID \
            "$service" | grep -o '[0-9][0-9]*' | tail -1)
        [ "$owner" = "$app_pid" ] && echo "$service" && return 0
    done
    return 1
}
within 100 item_of_app || fail "the item is not registered with the watcher"
service=$(item_of_app)
title=$(prop "$service" /StatusNotifierItem org.kde.StatusNotifierItem Title)
[ "$title" = "(<'Velkaro Antigravity Backup'>,)" ] || fail "the item's title is $title"
menu=$(prop "$service" /StatusNotifierItem org.kde.StatusNotifierItem Menu | grep -o "/[A-Za-z/]*")

# The menu as the host reads it, rebuilt first as when it opens.
layout() {
    bus -d "$service" -o "$menu" -m com.canonical.dbusmenu.AboutToShow 0 >/dev/null
    bus -d "$service" -o "$menu" -m com.canonical.dbusmenu.GetLayout -- 0 -1 '[]'
}
labels=$(layout | grep -o "'label': <'[^']*'>" | sed "s/'label': <'\(.*\)'>/\1/" | tr '\n' '|')
echo "menu: $labels"
expected='^Velkaro Antigravity Backup\|バックアップ未実行\|次回予定: [0-2][0-9]:[0-5][0-9]\|今すぐバックアップを実行\|'
expected="${expected}プロンプトテンプレートを適用\|([^|]+\|){4}管理ダッシュボードを開く...\|終了\|$"
echo "$labels" | grep -Eq "$expected" || fail "the host reads another menu"
click_item() {
    id=$(layout | grep -o "([0-9]*, {[^}]*'label': <'$1'>" | grep -o '^([0-9]*' | tr -d '(')
    [ -n "$id" ] || fail "no menu item $1"
    bus -d "$service" -o "$menu" -m com.canonical.dbusmenu.Event -- "$id" clicked '<0>' 0 >/dev/null
}

# A left click on the icon in the panel: the host activates the item, which opens its menu there.
within 50 has_no_window "$app_pid" || fail "a resident start shows a window"
xdotool mousemove 12 14 click 1
within 50 has_window "$app_pid" || fail "a left click on the icon opened nothing"
echo "left click: $(windows_of "$app_pid")"
shot sni-left-click
xdotool key Escape
within 50 has_no_window "$app_pid" || fail "the menu did not close"
# A right click: the host shows the item's menu itself.
xdotool mousemove 12 14 click 3
sleep 1
shot sni-right-click
xdotool key Escape

# A backup from the host's menu with no window shown is notified; with the window shown it is not.
click_item "今すぐバックアップを実行"
within 100 notified_is 1 || fail "no notification for a backup from the tray"
[ "$(snapshots)" -eq 1 ] || fail "the backup made $(snapshots) snapshots"
click_item "管理ダッシュボードを開く..."
within 50 has_window "$app_pid" || fail "the window did not open"
echo "window: $(windows_of "$app_pid")"
shot sni-window
click_item "今すぐバックアップを実行"
within 100 snapshots_are 2 || fail "the second backup did not run"
# A failure is notified with the window shown too. The application posts its notifications in order on
# one connection, so once that one is in, a notice of the second backup would have been in before it.
exec 9>"$HOME/Documents/VelkaroAntigraviti_Backups/.lock"
flock 9 || fail "could not hold the store's lock"
click_item "今すぐバックアップを実行"
within 100 failures_are 1 || fail "no notification for a backup that found the store held"
exec 9>&-
[ "$(notified)" -eq 1 ] || fail "a backup with the window shown was notified"

click_item "終了"
n=0
while kill -0 "$app_pid" 2>/dev/null; do
    n=$((n + 1))
    [ $n -gt 50 ] && fail "終了 in the host's menu did not end the application"
    sleep 0.1
done
wait "$app_pid" || fail "the application ended with $?"
echo "sni host ok"
