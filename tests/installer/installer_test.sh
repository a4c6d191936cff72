#!/usr/bin/env bash
# installer_test.sh WIN_BUILD_DIR STUBBORN_TRAY_EXE NATIVE_BUILD_DIR
# The per-user installer under wine, in a fresh prefix of its own, with the native simulators:
#  - scripts/package writes the installer, the portable zip and SHA256SUMS that verify;
#  - a silent install puts the program, the uninstaller, the shortcut and the installed-programs
#    entry in place and starts nothing; the installed Parlow.exe runs its self-test;
#  - the installed program enrolls and collects; installing a newer version over it quits it
#    in order and starts the new one in the background, and every observation the old one
#    issued is acknowledged or reported dropped;
#  - an older installer over a newer version refuses silently with a non-zero exit code;
#  - an instance that does not quit is neither killed nor replaced: the installer and the
#    uninstaller fail and change nothing;
#  - a silent uninstall quits the program, removes its files and entries, leaves the Run value
#    of another copy and the user's data; /REMOVEDATA removes the data and this copy's Run value,
#    and the token folder only when nothing else is left in it.
# Runs on the caller's display (ctest's Windows run has one under Xvfb).
set -uo pipefail
win_dir=$(cd "$1" && pwd)
stubborn=$2
native_dir=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
aggregator=$native_dir/sim/parlow-sim-aggregator
client=$native_dir/sim/parlow-sim-client

if [ -z "${DISPLAY:-}" ]; then
  echo "installer_test: needs a display (run it under xvfb-run, as scripts/test does)" >&2
  exit 1
fi
if [ ! -x "$aggregator" ] || [ ! -x "$client" ]; then
  cmake --build "$native_dir" --target parlow-sim-client parlow-sim-aggregator >&2 || exit 1
fi

work=$(mktemp -d /tmp/parlow-installer.XXXXXX)
pids=()
prefix_ready=0
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  [ "$prefix_ready" = 1 ] && bash "$root/scripts/wine-prefix" stop
  if [ -n "${PARLOW_INSTALLER_KEEP:-}" ]; then echo "installer_test: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# check DESCRIPTION COMMAND...: one assertion; a failed one is reported and counted.
check() {
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else fail "$what"; fi
}
not() { ! "$@"; }

# The prefix's shell folders and wine's menu entries stay inside the work folder.
export HOME=$work/home XDG_DATA_HOME=$work/home/.local/share XDG_CONFIG_HOME=$work/home/.config
mkdir -p "$HOME"
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

echo "== packaging"
pkg=$work/pkg
PARLOW_BUILD_ROOT=$(dirname "$win_dir") bash "$root/scripts/package" --out "$pkg" >/dev/null || exit 1
PARLOW_BUILD_ROOT=$(dirname "$win_dir") bash "$root/scripts/package" --out "$work/older" --version 0.0.1 >/dev/null || exit 1
version=$(sed -n 's/.*kProductVersion = "\([0-9.]*\)".*/\1/p' "$win_dir/generated/core/version.h")
setup=$pkg/Parlow-$version-setup.exe
older=$work/older/Parlow-0.0.1-setup.exe
# utf16_has FILE TEXT: the version resource holds TEXT as UTF-16.
utf16_has() { python3 -c 'import sys; sys.exit(0 if sys.argv[2].encode("utf-16-le") in open(sys.argv[1], "rb").read() else 1)' "$1" "$2"; }
# The release folder: what a user downloads, checksums that match, a zip with the program.
check "package holds the setup, the zip and SHA256SUMS" test -s "$setup" -a -s "$pkg/Parlow-$version-portable.zip" -a -s "$pkg/SHA256SUMS"
check "SHA256SUMS verifies both files" sh -c "cd '$pkg' && sha256sum --quiet -c SHA256SUMS && [ \$(wc -l <SHA256SUMS) = 2 ]"
check "portable zip holds Parlow.exe as built" sh -c "python3 -m zipfile -l '$pkg/Parlow-$version-portable.zip' | grep -q '^Parlow.exe ' && cd '$work' && python3 -m zipfile -e '$pkg/Parlow-$version-portable.zip' unzipped && cmp -s unzipped/Parlow.exe '$win_dir/app/Parlow.exe'"
check "setup carries its version information" utf16_has "$setup" "$version"

echo "== preparing a fresh wine prefix"
bash "$root/scripts/wine-prefix" init || exit 1
prefix_ready=1

unix_path() { winepath -u "$1" 2>/dev/null; }
local_win=$(wine cmd /c 'echo %LOCALAPPDATA%' 2>/dev/null | tr -d '\r')
appdata_win=$(wine cmd /c 'echo %APPDATA%' 2>/dev/null | tr -d '\r')
local_unix=$(unix_path "$local_win")
instdir_win="$local_win\\Programs\\Parlow"
instdir=$local_unix/Programs/Parlow
shortcut=$(unix_path "$appdata_win")/Microsoft/Windows/Start\ Menu/Programs/Parlow.lnk
data=$local_unix/Parlow
tokens=$local_unix/Vornet
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Parlow'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
if [ -z "$local_win" ] || [ ! -d "$local_unix" ]; then
  echo "installer_test: cannot find the prefix's LOCALAPPDATA ($local_win)" >&2
  exit 1
fi

# reg_value KEY NAME: the value's data as `reg query` prints it; fails when absent.
reg_value() {
  wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | awk -v n="$2" '$1 == n { $1 = ""; $2 = ""; sub(/^ +/, ""); print; found = 1 } END { exit !found }'
}
reg_is() { [ "$(reg_value "$1" "$2")" = "$3" ]; }
reg_absent() { ! reg_value "$1" "$2" >/dev/null; }
key_absent() { ! wine reg query "$1" >/dev/null 2>&1; }
# wine_processes NAME: "pid command line" of the Windows programs NAME of this prefix (a
# Windows process's command line starts with its drive letter path).
wine_processes() {
  local pid program
  for pid in $(pgrep -f "$1" 2>/dev/null); do
    program=$({ tr '\0' '\n' <"/proc/$pid/cmdline"; } 2>/dev/null | head -n 1)
    [[ "$program" == [A-Za-z]:* && "$program" == *"\\$1" ]] || continue
    { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" || continue
    echo "$pid $({ tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null | sed 's/ *$//')"
  done
}
parlow_processes() { wine_processes Parlow.exe; }
alive() { kill -0 "$1" 2>/dev/null; }
none_running() { [ -z "$(parlow_processes)" ]; }
# run_installer EXE ARGS...: runs it and waits; its exit code. Output goes to a file so that a
# program it starts cannot hold a pipe of ours open.
run_installer() { wine "$@" >>"$work/installer.log" 2>&1; }
# uninstall ARGS...: the installed uninstaller, copied out so that it runs in place of the
# copy NSIS would otherwise hand over to and wait for (_?= names the installation).
uninstall() {
  mkdir -p "$work/un" && cp "$instdir/uninstall.exe" "$work/un/uninstall.exe" || return 99
  wine "$work/un/uninstall.exe" /S "$@" "_?=$instdir_win" >>"$work/installer.log" 2>&1
}

# py EXPR SOURCE: EXPR over the JSON document `d` from a file or an http:// address.
py() {
  python3 - "$@" <<'PY'
import json, sys, urllib.request
expr, source = sys.argv[1], sys.argv[2]
try:
    if source.startswith("http://"):
        method = "POST" if len(sys.argv) > 3 and sys.argv[3] == "post" else "GET"
        req = urllib.request.Request(source, data=b"" if method == "POST" else None, method=method)
        d = json.load(urllib.request.urlopen(req, timeout=5))
    else:
        d = json.load(open(source))
except Exception:
    sys.exit(1)
print(eval(expr, {}, {"d": d}))
PY
}
# wait_until SECONDS COMMAND...: polls COMMAND until it succeeds.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  while ((SECONDS < deadline)); do
    "$@" && return 0
    sleep 0.2
  done
  "$@"
}
py_true() { [ "$(py "$@" 2>/dev/null)" = True ]; }

echo "== 1. silent install of 0.0.1 into a fresh prefix"
# The first installation is the older build, so that the current one can upgrade it below.
run_installer "$older" /S
check "silent install exits 0" test $? = 0
# What a fresh install leaves: the program and its uninstaller under the user's programs
# folder, the Start menu shortcut, the installed-programs entry; no program started.
check "Parlow.exe installed under LOCALAPPDATA\\Programs\\Parlow" cmp -s "$instdir/Parlow.exe" "$win_dir/app/Parlow.exe"
check "uninstaller installed" test -s "$instdir/uninstall.exe"
check "uninstaller carries the version information" utf16_has "$instdir/uninstall.exe" 0.0.1
check "Start menu shortcut" test -s "$shortcut"
check "entry: DisplayName" reg_is "$uninstall_key" DisplayName Parlow
check "entry: DisplayVersion" reg_is "$uninstall_key" DisplayVersion 0.0.1
check "entry: Publisher" reg_is "$uninstall_key" Publisher Parlow
check "entry: UninstallString" reg_is "$uninstall_key" UninstallString "\"$instdir_win\\uninstall.exe\""
check "entry: QuietUninstallString" reg_is "$uninstall_key" QuietUninstallString "\"$instdir_win\\uninstall.exe\" /S"
check "entry: InstallLocation" reg_is "$uninstall_key" InstallLocation "$instdir_win"
size_kb=$(reg_value "$uninstall_key" EstimatedSize)
exe_kb=$(($(stat -c %s "$win_dir/app/Parlow.exe") / 1024))
check "entry: EstimatedSize covers Parlow.exe ($size_kb, $exe_kb KiB)" test $((size_kb)) -ge "$exe_kb"
check "a silent fresh install starts nothing" none_running
check "no start-with-Windows value of its own" reg_absent "$run_key" Parlow

echo "== 2. the installed Parlow.exe --ui-selftest"
selftest_win="$local_win\\selftest"
wine "$instdir_win\\Parlow.exe" --ui-selftest "$selftest_win" >"$work/selftest.log" 2>&1
selftest_exit=$?
report=$local_unix/selftest/selftest.json
check "selftest.json written from the installed path" test -s "$report"
# No WebView2 runtime under wine: the web view must report why it is absent.
check "the web view's error is reported" py_true 'bool(d["webviewError"])' "$report"
check "the native window took over (window native)" py_true 'd["window"] == "native"' "$report"
check "self-test exit code 0" test "$selftest_exit" = 0
rm -rf "$local_unix/selftest"

echo "== 3. upgrade while the installed version collects"
code=INSTALLER-INVITE
"$aggregator" --invite "$code" --state-file "$work/aggregator.json" --record "$work/aggregator.jsonl" \
  >"$work/aggregator.log" 2>&1 &
pids+=($!)
"$client" --install-dir "$work/league" --root-cert-out "$work/riot-root.pem" --state-file "$work/client.json" \
  --phase-ms 1500 --live-port 0 --paused >"$work/client.log" 2>&1 &
pids+=($!)
wait_until 15 py_true '"port" in d' "$work/aggregator.json" || { cat "$work/aggregator.log" >&2; exit 1; }
wait_until 15 py_true '"controlPort" in d' "$work/client.json" || { cat "$work/client.log" >&2; exit 1; }
summary="http://127.0.0.1:$(py 'd["port"]' "$work/aggregator.json")/summary"
control="http://127.0.0.1:$(py 'd["controlPort"]' "$work/client.json")/control"
mkdir -p "$data"
python3 - "$data/collector.json" "$(py 'd["port"]' "$work/aggregator.json")" "$(winepath -w "$work/league")" \
  "$(winepath -w "$work/riot-root.pem")" "$(py 'd["livePort"]' "$work/client.json")" <<'PY'
import json, sys
path, port, league, root, live = sys.argv[1:]
json.dump({
    "collector": {"id": "installer-pc", "name": "installer test"},
    "server": {"url": "http://127.0.0.1:%s" % port, "allowPlainHttpLoopback": True},
    "collection": {"leagueInstallDir": league, "riotRootCertFile": root, "liveClientPort": int(live)},
}, open(path, "w"), indent=2)
PY
# The installed old version enrolls and collects.
(wine "$instdir_win\\Parlow.exe" --connect "$code" --background >>"$work/old-parlow.log" 2>&1
  echo $? >"$work/old-parlow.exit") &
py 'd' "$control/pause?on=0" post >/dev/null
boot_count() { py 'len(d["boots"])' "$summary"; }
first_boot_sent() { py_true 'len(d["boots"]) == 1 and all(b["acknowledged"] > 0 for b in d["boots"].values())' "$summary"; }
check "the old version enrolls and its observations arrive" wait_until 60 first_boot_sent
old_pid=$(parlow_processes | awk '{print $1}')
check "one old instance runs ($old_pid)" test -n "$old_pid" -a "$(parlow_processes | wc -l)" = 1
run_installer "$setup" /S
check "silent upgrade over the running version exits 0" test $? = 0
check "entry: DisplayVersion upgraded" reg_is "$uninstall_key" DisplayVersion "$version"
check "the old instance has ended" not alive "$old_pid"
# Exit code 0, as after an orderly quit.
check "the old instance quit in order" wait_until 5 grep -qsx 0 "$work/old-parlow.exit"
# The new instance was started by the installer before it returned.
new=$(parlow_processes)
new_pid=${new%% *}
check "one new instance runs ($new_pid)" test -n "$new" -a "$(printf '%s\n' "$new" | wc -l)" = 1 -a "$new_pid" != "$old_pid"
check "the new instance was started with --background alone" test "${new#* }" = "$instdir_win\\Parlow.exe --background"
everything_accounted() {
  py_true 'len(d["boots"]) >= 1 and all(not b["unaccounted"] and b["acknowledged"] > 0 for b in d["boots"].values())' "$summary"
}
check "every observation of the old version acknowledged or reported dropped" everything_accounted
py 'd["boots"]' "$summary" >"$work/boots-after-upgrade.txt"
check "the new version collects and sends (a second boot)" wait_until 60 py_true 'len(d["boots"]) == 2 and all(b["acknowledged"] > 0 for b in d["boots"].values())' "$summary"
py 'd' "$control/pause?on=1" post >/dev/null

echo "== 4. an older installer over the running newer version"
run_installer "$older" /S
older_exit=$?
check "silent downgrade refused with a non-zero exit code ($older_exit)" test "$older_exit" != 0
check "downgrade left the version" reg_is "$uninstall_key" DisplayVersion "$version"
check "downgrade left the running instance alone" alive "$new_pid"

echo "== 5. silent uninstall keeps the data and another copy's Run value"
wine reg add "$run_key" /v Parlow /d '"C:\Other\Parlow\Parlow.exe" --background' /f >/dev/null 2>&1
uninstall
check "silent uninstall exits 0" test $? = 0
check "the running instance was quit (and not killed: no observation unaccounted)" none_running
check "every observation of both versions acknowledged or reported dropped" everything_accounted
check "program folder removed" test ! -e "$instdir"
check "shortcut removed" test ! -e "$shortcut"
check "installed-programs entry removed" key_absent "$uninstall_key"
check "Run value of another copy kept" reg_is "$run_key" Parlow '"C:\Other\Parlow\Parlow.exe" --background'
check "collector.json kept" test -s "$data/collector.json"
check "token kept" sh -c "ls '$tokens'/collector-*.token >/dev/null 2>&1"

echo "== 6. an instance that does not quit is not replaced"
run_installer "$setup" /S
check "fresh reinstall" reg_is "$uninstall_key" DisplayVersion "$version"
stubborn_log=$work/stubborn.log
(wine "$(winepath -w "$stubborn")" "$(winepath -w "$stubborn_log")" "$(winepath -w "$work/stop")" >/dev/null 2>&1 &)
check "the stubborn instance is up" wait_until 30 grep -qs ready "$stubborn_log"
touch -d '2000-01-01' "$instdir/Parlow.exe"
run_installer "$setup" /S
stuck_exit=$?
check "silent install fails while an instance will not quit ($stuck_exit)" test "$stuck_exit" != 0
check "the instance was asked to quit" grep -q close "$stubborn_log"
stubborn_running() { [ -n "$(wine_processes stubborn_tray.exe)" ]; }
check "the instance was not killed" stubborn_running
check "no file was replaced" test "$(stat -c %Y "$instdir/Parlow.exe")" = "$(date -d 2000-01-01 +%s)"
uninstall
check "silent uninstall fails while an instance will not quit" test $? != 0
check "the uninstaller left the program in place" test -s "$instdir/Parlow.exe" -a -s "$instdir/uninstall.exe"
check "the uninstaller left the entry in place" reg_is "$uninstall_key" DisplayVersion "$version"
check "the uninstaller did not kill the instance either" stubborn_running
touch "$work/stop"
check "the stand-in ends when told" wait_until 10 not stubborn_running

echo "== 7. silent uninstall /REMOVEDATA"
wine reg add "$run_key" /v Parlow /d "\"$instdir_win\\Parlow.exe\" --background" /f >/dev/null 2>&1
echo keep >"$tokens/notes.txt"
uninstall /REMOVEDATA
check "silent uninstall /REMOVEDATA exits 0" test $? = 0
check "program folder removed" test ! -e "$instdir"
check "Run value of this copy removed" reg_absent "$run_key" Parlow
check "the per-user application folder removed" test ! -e "$data"
check "the tokens removed" sh -c "! ls '$tokens'/collector-*.token >/dev/null 2>&1"
check "other files in the token folder kept" test -s "$tokens/notes.txt"

echo "== 8. /REMOVEDATA removes the token folder when nothing else is in it"
rm -f "$tokens/notes.txt"
echo sealed >"$tokens/collector-installer-pc.token"
run_installer "$setup" /S
uninstall /REMOVEDATA
check "silent uninstall /REMOVEDATA exits 0" test $? = 0
check "the emptied token folder removed" test ! -e "$tokens"

echo
if ((failures)); then
  echo "installer_test: $failures check(s) failed; log: " >&2
  tail -n 20 "$work/installer.log" >&2
  exit 1
fi
echo "installer_test: all checks passed"
