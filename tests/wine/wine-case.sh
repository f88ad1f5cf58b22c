#!/bin/bash
# Runs one Wine test case: copies the template prefix, places dmcheck.exe and
# the test driver, runs the program under a virtual X server and checks what it
# printed, what Wine's loader logged and what the test driver saw.
#
# Usage: wine-case.sh CASE
# Environment: DMCHECK_WIN_DIR (the Windows build), WINE_TEMPLATE (template
# prefix), WINE_WORK (scratch root), WINE_CASES (the cfg files).
set -u

case_name=$1
work=$WINE_WORK/$case_name
prefix=$work/prefix
sys32=$prefix/drive_c/windows/system32
app=$work/app  # the program's directory
cwd=$work/cwd  # the directory it is started in
out=$work/stdout
err=$work/stderr
failures=0

fail() {
  echo "FAIL [$case_name]: $*" >&2
  failures=$((failures + 1))
}

# The Windows C run-time writes text-mode streams: each "\n" the program
# prints reaches the pipe as "\r\n".
crlf() { awk '{ printf "%s\r\n", $0 }'; }

# Registry files are rewritten in place by wineserver, so they and every small
# file are copied; the large, never-written system directory is hard-linked.
copy_prefix() {
  rm -rf "$work"
  mkdir -p "$prefix" "$app" "$cwd"
  tar -C "$WINE_TEMPLATE" --exclude=./drive_c/windows/system32 -cf - . | tar -C "$prefix" -xf -
  cp -al "$WINE_TEMPLATE/drive_c/windows/system32" "$prefix/drive_c/windows/"
  cp "$DMCHECK_WIN_DIR/dmcheck.exe" "$app/"
}

driver_dll=$DMCHECK_WIN_DIR/tools/testdriver/nvapi64.dll

plant_driver() {  # DIR [CFG]
  cp "$driver_dll" "$1/nvapi64.dll"
  if [ $# -gt 1 ]; then cp "$WINE_CASES/$2" "$1/nvapi64.cfg"; fi
}

in_x() {  # runs a command in the test's prefix under a virtual X server
  WINEPREFIX=$prefix WINEDLLOVERRIDES="mscoree,mshtml=" xvfb-run -a sh -c '"$@"; rc=$?; wineserver -w; exit $rc' sh "$@"
}

set_windows_version() {
  in_x env WINEDEBUG=-all wine winecfg /v "$1" || fail "winecfg /v $1"
}

run_exe() {  # EXE DEBUG-CHANNELS ARGS...
  local exe=$1 channels=$2 attempt
  shift 2
  # xvfb-run -a can lose the race for a display number to another run that
  # starts at the same moment; the program has then not run at all.
  for attempt in 1 2 3; do
    rm -f "$work/rc"
    (cd "$cwd" && in_x env WINEDEBUG="$channels" sh -c 'wine "$@" >"$OUT" 2>"$ERR"; echo $? >"$RC"' \
      sh "$exe" "$@") 2>"$work/xvfb.log"
    [ -e "$work/rc" ] && break
    sleep "$attempt"
  done
  rc=$(cat "$work/rc" 2>/dev/null || echo none)
  split_stderr
}
run_dmcheck() { run_exe "$app/dmcheck.exe" "$@"; }
export OUT=$out ERR=$err RC=$work/rc

# Wine's debug channels share the program's standard error. Wine writes each
# log line whole, but the C run-time may write one program line in pieces, so a
# log line from another thread can land inside a program line. Each log line
# starts at its "tid:class:" marker and runs to its newline; whatever comes
# before a marker on a physical line is the program's.
split_stderr() {
  [ -e "$err" ] || : >"$err"
  perl -e '
    open(my $prog, ">", $ARGV[0]) or die; open(my $log, ">", $ARGV[1]) or die;
    binmode STDIN; binmode $prog; binmode $log;
    while (<STDIN>) {
      if (/[0-9a-f]{4}:(?:trace|warn|err|fixme):/) {
        print $prog substr($_, 0, $-[0]);
        print $log substr($_, $-[0]);
      } else {
        print $prog $_;
      }
    }' "$work/program.stderr" "$work/wine.log" <"$err"
}

# Wine's log lines of the program's main thread (the one that loaded it).
program_log() {
  local tid
  tid=$(grep -a -m1 -E 'trace:loaddll:.*Loaded L".*\\dmcheck\.exe"' "$work/wine.log" | cut -d: -f1)
  [ -n "$tid" ] && grep -a "^$tid:" "$work/wine.log"
}

expect_exit() { [ "$rc" = "$1" ] || fail "exit code $rc, want $1"; }

expect_text() {  # WHAT ACTUAL-FILE EXPECTED-TEXT (lines; "" for nothing)
  local want=$work/want.$1
  if [ -n "$3" ]; then printf '%s\n' "$3" | crlf >"$want"; else : >"$want"; fi
  if ! cmp -s "$want" "$2"; then
    fail "$1 differs (want, got):"
    diff <(cat -A "$want") <(cat -A "$2") >&2
  fi
}

expect_stdout() { expect_text stdout "$out" "$1"; }
expect_stderr() { expect_text stderr "$work/program.stderr" "$1"; }

expect_has() {  # WHAT FILE FIXED-TEXT
  grep -a -q -F -- "$3" "$2" || fail "$1 lacks: $3"
}
expect_lacks() {
  ! grep -a -q -F -- "$3" "$2" || fail "$1 has: $3"
}
# Each text must appear after the previous one.
expect_in_order() {  # WHAT FILE TEXT...
  local what=$1 file=$2 from=1 n
  shift 2
  for text in "$@"; do
    n=$(tail -n +"$from" "$file" | grep -a -n -m1 -F -- "$text" | cut -d: -f1)
    if [ -z "$n" ]; then
      fail "$what: not found after line $from: $text"
      return
    fi
    from=$((from + n))
  done
}

deps=(msasn1.dll cryptnet.dll drvstore.dll devobj.dll wldp.dll cryptbase.dll)
site68=$'FATAL NvAPI_Initialize() = 0xfffffffe (line 68)'
site160=$'FATAL dev->OpenSharedHandle(shared[i], IID_PPV_ARGS(&res[i])) = 0x80004001 (line 160)'
discovery=$'EnableDirectMode(0x2709) = 0x0
EnumerateDirectModeDisplays count = 1 (status 0x0)
using displayId 0x80061001
mode[0]: 2160x1200 @ 90.000 Hz format=22 dscMode=0 dscVer=0 slices=0 bppx16=0
mode[1]: 2160x1200 @ 120.000 Hz format=22 dscMode=0 dscVer=0 slices=0 bppx16=0
mode[2]: 2160x1200 @ 72.000 Hz format=22 dscMode=0 dscVer=0 slices=0 bppx16=0
using mode[2]: 2160x1200 @ 72.000 Hz
forcing DSC 1.1, 4 slices, 8 bpp'

# ---- cases -------------------------------------------------------------

case_no_driver() {
  run_dmcheck -all 1
  expect_exit 10
  expect_stdout ""
  expect_stderr "$site68"
}

# A copy of the driver beside the program and in the current directory is
# never taken for the one in the system directory, on either load path.
planted() {
  [ "$1" = win7 ] || set_windows_version "$1"
  plant_driver "$app"
  plant_driver "$cwd"
  run_dmcheck -all,+loaddll 1
  expect_exit 10
  expect_stdout ""
  expect_stderr "$site68"
  expect_lacks "loader log" "$work/wine.log" 'nvapi64.dll" at'
  [ ! -e "$app/nvapi64.log" ] && [ ! -e "$cwd/nvapi64.log" ] || fail "a planted driver ran"
}
case_planted_win7() { planted win7; }
case_planted_win10() { planted win10; }

# Windows 7 (a new prefix): neither build 9200 nor 14308 confirms, so every
# library goes by its full system-directory path with flags 0.
case_system32_win7() {
  plant_driver "$sys32"
  run_dmcheck -all,+loaddll,+module,+reg 1
  expect_exit 10
  expect_stderr "$site160"
  program_log >"$work/program.log"
  local order=()
  for d in "${deps[@]}"; do order+=("load_dll looking for L\"C:\\\\windows\\\\system32\\\\$d\""); done
  order+=('load_dll looking for L"C:\\windows\\system32\\Advapi32.dll"'
    'RegQueryValueExW (' 'L"CurrentBuildNumber"'
    'load_dll looking for L"C:\\windows\\system32\\nvapi64.dll"'
    'Loaded L"C:\\windows\\system32\\nvapi64.dll"')
  expect_in_order "loader log" "$work/program.log" "${order[@]}"
  expect_lacks "loader log" "$work/program.log" 'load_dll looking for L"nvapi64.dll"'
  preloaded_before_driver
}

# Windows 10: 9200 confirms but 14308 does not, so the loader reads the build
# from the registry and loads by bare name with LOAD_LIBRARY_SEARCH_SYSTEM32,
# which Wine shows as a search of the system directory alone.
case_system32_win10() {
  set_windows_version win10
  expect_has "registry" "$prefix/system.reg" '"CurrentBuildNumber"="18362"'
  plant_driver "$sys32"
  run_dmcheck -all,+loaddll,+module,+reg 1
  expect_exit 10
  expect_stderr "$site160"
  program_log >"$work/program.log"
  local order=()
  for d in "${deps[@]}"; do order+=("load_dll looking for L\"$d\" in L\"C:\\\\windows\\\\system32\\\\\""); done
  order+=('load_dll looking for L"Advapi32.dll" in L"C:\\windows\\system32\\"'
    'RegQueryValueExW (' 'L"CurrentBuildNumber"'
    'load_dll looking for L"nvapi64.dll" in L"C:\\windows\\system32\\"'
    'Loaded L"C:\\windows\\system32\\nvapi64.dll"')
  expect_in_order "loader log" "$work/program.log" "${order[@]}"
  expect_lacks "loader log" "$work/program.log" 'load_dll looking for L"C:\\windows\\system32\\nvapi64.dll"'
  preloaded_before_driver
}

# The pre-load libraries that Wine has are loaded before the driver (the order
# check above shows that the pre-load goes on past the ones it lacks).
preloaded_before_driver() {
  local driverLine loadedLine
  driverLine=$(grep -a -n -m1 -F 'Loaded L"C:\\windows\\system32\\nvapi64.dll"' "$work/wine.log" | cut -d: -f1)
  for d in "${deps[@]}"; do
    if [ -e "$sys32/$d" ]; then
      loadedLine=$(grep -a -n -m1 -F "Loaded L\"C:\\\\windows\\\\system32\\\\$d\"" "$work/wine.log" | cut -d: -f1)
      if [ -z "$loadedLine" ] || [ -z "$driverLine" ] || [ "$loadedLine" -gt "$driverLine" ]; then
        fail "$d was not loaded before nvapi64.dll"
      fi
    fi
  done
}

case_no_display() {
  plant_driver "$sys32" no-display.cfg
  run_dmcheck -all 1
  expect_exit 2
  expect_stdout $'EnableDirectMode(0x2709) = 0x0
EnumerateDirectModeDisplays count = 0 (status 0x0)
RESULT: no DM display'
  expect_stderr ""
  expect_lacks "driver log" "$sys32/nvapi64.log" "DirectModeGetDisplayModes"
}

case_acquire_refused() {
  plant_driver "$sys32" acquire-refused.cfg
  run_dmcheck -all 1
  expect_exit 3
  expect_stdout "$discovery"$'\nAcquireDirectModeDisplay = 0xffffffff'
  expect_stderr ""
  expect_lacks "driver log" "$sys32/nvapi64.log" "CreateSurface"
}

case_hdcp_accepted() {
  plant_driver "$sys32" hdcp.cfg
  run_dmcheck -all 1
  expect_exit 10
  expect_stdout "$discovery"$'\nAcquireDirectModeDisplay = 0xffffff30 (HDCP disabled, continuing)'
  expect_stderr "$site160"
  expect_has "driver log" "$sys32/nvapi64.log" "CreateSurface display=0x80061001 mode=2160x1200 72000/1000 format=22 dsc=1,17,4,128 -> 0"
}

# As far as Wine goes: the device, queue, allocator, list, fence and event are
# made on the adapter the driver handed out, the display is acquired and the
# driver makes surface 0 as a committed texture. Wine's Direct3D 12 cannot
# share resources (CreateSharedHandle and OpenSharedHandle return E_NOTIMPL),
# so the driver hands out a placeholder handle and the program's
# OpenSharedHandle fails at site 160: that is where a run on Wine must end,
# with exit code 10 and nothing after the acquire line.
case_full_run() {
  plant_driver "$sys32"
  run_dmcheck -all 1
  expect_exit 10
  expect_stdout "$discovery"$'\nAcquireDirectModeDisplay = 0x0'
  expect_stderr "$site160"
  local log=$sys32/nvapi64.log
  expect_in_order "driver log" "$log" "Initialize -> 0" \
    'GetIDXGIAdapter hr=0x00000000' \
    "AcquireDirectModeDisplay vendor=9993 device=yes display=0x80061001 -> 0" \
    "CreateSurface display=0x80061001 mode=2160x1200 72000/1000 format=22 dsc=1,17,4,128 -> 0 texture=0x00000000 share=0x80004001 id=1"
  [ "$(grep -c '^CreateSurface ' "$log")" = 1 ] || fail "the run went past surface 0"
  [ "$(grep -c 'hook enter' "$log")" = "$(grep -c 'hook leave' "$log")" ] || fail "hooks unpaired"
}

# The chosen record goes back to the driver as it came, DSC fields included,
# when --no-force-dsc is given.
case_record_layout() {
  plant_driver "$sys32" record-layout.cfg
  run_dmcheck -all --no-force-dsc --mode 0
  expect_exit 10
  expect_stdout $'EnableDirectMode(0x2709) = 0x0
EnumerateDirectModeDisplays count = 1 (status 0x0)
using displayId 0x80061055
mode[0]: 1920x1080 @ 59.940 Hz format=22 dscMode=1 dscVer=18 slices=2 bppx16=192
mode[1]: 3840x2160 @ 120.000 Hz format=87 dscMode=0 dscVer=0 slices=0 bppx16=0
using mode[0]: 1920x1080 @ 59.940 Hz
AcquireDirectModeDisplay = 0x0'
  expect_stderr "$site160"
  expect_has "driver log" "$sys32/nvapi64.log" \
    "CreateSurface display=0x80061055 mode=1920x1080 60000/1001 format=22 dsc=1,18,2,192 -> 0"
}

# An entry the driver lacks: that operation reports -3 and the run goes on;
# a driver with only one hook gets no hook calls.
case_missing_entry() {
  plant_driver "$sys32" missing-entry.cfg
  run_dmcheck -all 1
  expect_exit 10
  expect_stdout "${discovery/EnableDirectMode(0x2709) = 0x0/EnableDirectMode(0x2709) = 0xfffffffd}"$'\nAcquireDirectModeDisplay = 0x0'
  expect_stderr "$site160"
  expect_lacks "driver log" "$sys32/nvapi64.log" "hook enter"
  expect_lacks "driver log" "$sys32/nvapi64.log" "hook leave"
  expect_lacks "driver log" "$sys32/nvapi64.log" "EnableDirectMode vendor"
  [ "$(grep -c 'QueryInterface 0x1AC2B1E7' "$sys32/nvapi64.log")" = 1 ] || fail "EnableDirectMode looked up more than once"
}

# A driver set up wrongly refuses to initialise, and says why.
case_broken_config() {
  plant_driver "$sys32" broken.cfg
  run_dmcheck -all 1
  expect_exit 10
  expect_stdout ""
  expect_has "stderr" "$work/program.stderr" "testdriver: nvapi64.cfg line 2: mode is width,height"
  expect_has "stderr" "$work/program.stderr" "FATAL NvAPI_Initialize() = 0xffffffff (line 68)"
}

# The program's graphics code on Wine's Direct3D 12: every pixel of the test
# pattern and of the image copy read back and checked; the readbacks stay in
# cwd/out for the comparison with the simulated runtime.
case_conformance() {
  cp "$DMCHECK_WIN_DIR/tests/conformance/conformance.exe" "$app/"
  mkdir -p "$cwd/out"
  run_exe "$app/conformance.exe" -all out
  cat "$out"
  expect_exit 0
  expect_has "stdout" "$out" "conformance: all pixels as expected"
  for f in pattern-0 pattern-1 pattern-2 pattern-3 pattern-4 image; do
    [ "$(stat -c %s "$cwd/out/$f.raw" 2>/dev/null)" = $((2160 * 1200 * 4)) ] || fail "no readback $f.raw"
  done
}

if ! declare -F "case_$case_name" >/dev/null; then
  echo "unknown case $case_name" >&2
  exit 2
fi
template_sum() { cat "$WINE_TEMPLATE"/*.reg | md5sum; }
before=$(template_sum)
copy_prefix
"case_$case_name"
# The copy must not write through to the template that other cases share.
[ "$(template_sum)" = "$before" ] || fail "the template prefix changed"
if [ "$failures" -ne 0 ]; then
  echo "--- stderr (first lines):" >&2
  head -n 20 "$err" >&2 2>/dev/null
  echo "--- xvfb-run:" >&2
  cat "$work/xvfb.log" >&2 2>/dev/null
  echo "$case_name: $failures check(s) failed; files in $work" >&2
  exit 1
fi
echo "$case_name: ok"
