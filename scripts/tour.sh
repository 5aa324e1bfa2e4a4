#!/usr/bin/env bash
# A short guided tour: start the simulated Mac, talk to the real helper with tidewarden-ctl, stop.
#
# Usage: scripts/tour.sh BUILD_DIR   (what `make run` calls after building)
# Every step prints the command and the reply, and checks the reply; anything
# unexpected stops the tour with a message and a non-zero exit status.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
BUILD_DIR=$(cd "$1" && pwd)
SIM="$BUILD_DIR/sim/tidewarden-sim"
CTL="$BUILD_DIR/client/tidewarden-ctl"
CODESIGN="$BUILD_DIR/tools/tidewarden-codesign"
# How long the simulator may take to start listening, and to stop after SIGTERM.
START_SECONDS=30
STOP_SECONDS=30

for program in "$SIM" "$CTL" "$CODESIGN"; do
  [ -x "$program" ] || { echo "tour: $program is missing; build first (make build)" >&2; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tidewarden-tour.XXXXXX")
SIM_PID=""
cleanup() {
  if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
    kill -TERM "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
  echo >&2
  echo "tour: FAILED: $*" >&2
  exit 1
}

heading() {
  echo
  echo "== $* =="
}

# Shows a command in the form a newcomer would type it (paths relative to the build dir).
show() {
  local text="$*"
  text=${text//"$BUILD_DIR/"/}
  text=${text//"$WORK"/\$TOUR}
  echo "\$ $text"
}

# Runs tidewarden-ctl with the given arguments (stdin from $INPUT_FILE when set),
# prints the reply, and keeps its exit status in $STATUS and its output in $REPLY_TEXT.
run_ctl() {
  local program=$1
  shift
  set +e
  if [ -n "${INPUT_FILE:-}" ]; then
    REPLY_TEXT=$("$program" --socket "$SOCKET" "$@" <"$INPUT_FILE" 2>"$WORK/stderr")
  else
    REPLY_TEXT=$("$program" --socket "$SOCKET" "$@" </dev/null 2>"$WORK/stderr")
  fi
  STATUS=$?
  set -e
  if [ -n "$REPLY_TEXT" ]; then echo "reply: $REPLY_TEXT"; fi
  if [ -s "$WORK/stderr" ]; then echo "stderr: $(cat "$WORK/stderr")"; fi
  echo "exit status: $STATUS"
}

expect_status() {
  [ "$STATUS" -eq "$1" ] || fail "expected exit status $1, got $STATUS"
}

expect_reply_contains() {
  case "$REPLY_TEXT" in
    *"$1"*) ;;
    *) fail "the reply does not contain: $1" ;;
  esac
}

# Quarantine: a hidden watchdog daemon is judged, disabled and moved away, then restored.
quarantine_stop() {
  local plist=/Library/LaunchDaemons/com.example.updater.plist
  heading "Quarantine a suspicious launch daemon, then restore it"
  show "$SIM" world --root "$WORLD" add-daemon com.example.updater --program /Users/Shared/.updater/run.sh \
    --interpreter /bin/sh --related /Users/Shared/.updater/agent --warnings --sign adhoc
  "$SIM" world --root "$WORLD" add-daemon com.example.updater --program /Users/Shared/.updater/run.sh \
    --interpreter /bin/sh --related /Users/Shared/.updater/agent --warnings --sign adhoc \
    || fail "the simulator could not lay out the daemon"
  show "$SIM" world --root "$WORLD" start-process 4242 /Users/Shared/.updater/agent --daemon
  "$SIM" world --root "$WORLD" start-process 4242 /Users/Shared/.updater/agent --daemon \
    || fail "the simulator could not start the process"
  show "$CTL" --socket "$SOCKET" quarantine --label com.example.updater --plist "$plist"
  run_ctl "$CTL" quarantine --label com.example.updater --plist "$plist"
  expect_status 0
  expect_reply_contains "The background item was disabled and moved into quarantine."
  local id
  id=$(printf '%s\n' "$REPLY_TEXT" | sed -n 's/^  quarantine //p')
  [ -n "$id" ] || fail "the reply names no quarantine ID"
  [ ! -e "$WORLD/root$plist" ] || fail "the property list is still in /Library/LaunchDaemons"
  echo "(quarantine folder: $(cd "$WORLD/root/Library/Application Support/Tidewarden/Quarantine/$id" && echo *))"
  local world
  world=$("$SIM" world --root "$WORLD" show)
  case "$world" in *'"bootouts"'*"$plist"*) ;; *) fail "launchctl bootout was not recorded" ;; esac
  echo "(world: booted out $plist; signals: $(printf '%s' "$world" | tr -d ' \n' | sed -n 's/.*"signals":\(\[[^]]*\]\).*/\1/p'))"
  show "$CTL" --socket "$SOCKET" restore "$id"
  run_ctl "$CTL" restore "$id"
  expect_status 0
  expect_reply_contains "The startup service was not automatically re-enabled."
  [ -e "$WORLD/root$plist" ] || fail "the property list was not restored"
  show "$CTL" --socket "$SOCKET" restore "$id"
  run_ctl "$CTL" restore "$id"
  expect_status 4
  expect_reply_contains "A file already exists at the original location, so Tidewarden did not overwrite it."
}

heading "Start the simulated Mac"
echo "(commands below are relative to $BUILD_DIR; \$TOUR is the temporary directory $WORK)"
WORLD="$WORK/mac"
show "$SIM" serve --root "$WORLD" "&"
mkfifo "$WORK/sim.out"
"$SIM" serve --root "$WORLD" >"$WORK/sim.out" &
SIM_PID=$!
exec 3<"$WORK/sim.out"
LINE=""
set +e
read -r -t "$START_SECONDS" LINE <&3
READ_STATUS=$?
set -e
[ "$READ_STATUS" -le 128 ] || fail "the simulator did not start listening within $START_SECONDS seconds"
[ "$READ_STATUS" -eq 0 ] || fail "the simulator ended before listening (its message is above)"
echo "$LINE"
SOCKET="$WORLD/helper.sock"
[ "$LINE" = "listening on $SOCKET" ] || fail "unexpected first line from the simulator: $LINE"
echo "(a fresh world: $(cd "$WORLD/root" && echo *))"

heading "Ping: the helper says who it runs as and what it can do"
show "$CTL" --socket "$SOCKET" ping
run_ctl "$CTL" ping
expect_status 0
expect_reply_contains "Tidewarden privileged helper ready — UID 0, EUID 0 — installer-download-cleanup-v2"
expect_reply_contains "fan-control-lease-v5-free-repair1"

heading "The installer-preparation safety check answers with a fixed reply"
show "$CTL" --socket "$SOCKET" call runInstallerPreparationSafetyCheckWithReply:
run_ctl "$CTL" call runInstallerPreparationSafetyCheckWithReply:
expect_status 0
expect_reply_contains '"passed":false'
expect_reply_contains "The development safety test has been removed."

heading "A fan request with malformed JSON is refused, in the fan reply's shape"
printf '{"action": "apply", ' >"$WORK/malformed.json"
echo "request: $(cat "$WORK/malformed.json")"
show "$CTL" --socket "$SOCKET" call fanControl:withReply: --data "$WORK/malformed.json"
run_ctl "$CTL" call fanControl:withReply: --data "$WORK/malformed.json"
expect_status 0
expect_reply_contains '"accepted":false'

heading "A fan request over 16384 bytes is refused before it is read"
{ printf '{"action":"status"}'; head -c $((16385 - 19)) /dev/zero | tr '\0' ' '; } >"$WORK/oversized.json"
echo "request: {\"action\":\"status\"} followed by spaces, $(wc -c <"$WORK/oversized.json") bytes"
show "$CTL" --socket "$SOCKET" call fanControl:withReply: --data - "<" "$WORK/oversized.json"
INPUT_FILE="$WORK/oversized.json" run_ctl "$CTL" call fanControl:withReply: --data -
expect_status 0
expect_reply_contains '"accepted":false'
expect_reply_contains '"message":"Fan request is too large."'

heading "Fan control: look, hold every fan at its maximum for one renewal, give control back"
show "$CTL" --socket "$SOCKET" fan inspect
run_ctl "$CTL" fan inspect
expect_status 0
expect_reply_contains "System controls cooling."
# The override is the user's decision: without --acknowledge nothing is sent.
show "$CTL" --socket "$SOCKET" fan apply --max --renewals 1
run_ctl "$CTL" fan apply --max --renewals 1
expect_status 2
grep -q "fan apply needs --acknowledge" "$WORK/stderr" || fail "no --acknowledge refusal"
show "$CTL" --socket "$SOCKET" fan apply --acknowledge --max --renewals 1
run_ctl "$CTL" fan apply --acknowledge --max --renewals 1
expect_status 0
expect_reply_contains "Max target readback verified."
expect_reply_contains "System control restored by the user."
show "$CTL" --socket "$SOCKET" fan inspect --report
run_ctl "$CTL" fan inspect --report
expect_status 0
expect_reply_contains "Tidewarden fan-control report"
expect_reply_contains "Action: apply; requested mode: maximum"

heading "A Rescue Drive status request that cannot be decoded"
printf 'this is not JSON' >"$WORK/status.txt"
echo "request: $(cat "$WORK/status.txt")"
show "$CTL" --socket "$SOCKET" call rescueDriveStatus:withReply: --data "$WORK/status.txt"
run_ctl "$CTL" call rescueDriveStatus:withReply: --data "$WORK/status.txt"
expect_status 0
expect_reply_contains '"phase":"failed"'
expect_reply_contains '"message":"Invalid Rescue Drive status request."'
expect_reply_contains '"finished":true'

heading "A raw materialize request for a package outside a download folder is refused"
printf '%s' '{"packagePath":"/Users/Shared/Tidewarden/Downloads/InstallAssistant.pkg","expectedVersion":"15.1","expectedBuild":"24B83"}' >"$WORK/materialize.json"
echo "request: $(cat "$WORK/materialize.json")"
show "$CTL" --socket "$SOCKET" call materializeInstallAssistantPackage:withReply: --data "$WORK/materialize.json"
run_ctl "$CTL" call materializeInstallAssistantPackage:withReply: --data "$WORK/materialize.json"
expect_status 0
expect_reply_contains '"success":false'
expect_reply_contains 'Only a completed InstallAssistant.pkg in an immediate Tidewarden download workspace can be prepared.'

heading "A client that is not signed by the helper's team is refused without a reply"
cp "$CTL" "$WORK/tidewarden-ctl-adhoc"
show "$CODESIGN" sign --identifier com.ambergrove.Tidewarden --adhoc "$WORK/tidewarden-ctl-adhoc"
"$CODESIGN" sign --identifier com.ambergrove.Tidewarden --adhoc "$WORK/tidewarden-ctl-adhoc" >/dev/null \
  || fail "tidewarden-codesign could not re-sign the copy"
show "$WORK/tidewarden-ctl-adhoc" --socket "$SOCKET" ping
run_ctl "$WORK/tidewarden-ctl-adhoc" ping
expect_status 3
[ -z "$REPLY_TEXT" ] || fail "the refused client received a reply"

# Auto Max crossing its threshold: System below it, every fan at its maximum above it,
# System again only once the temperature is 5 °C below it. The client holds the session
# in the background, renewing it every 5 s, until it is interrupted.
tour_fan_auto_max() {
  heading "Auto Max: the fans boost above 75 °C and go back to System at 70 °C"
  # Polls `fan inspect` until its reply contains $1 (at most 15 s), then prints it.
  await_fan_message() {
    local tries=0
    while :; do
      REPLY_TEXT=$("$CTL" --socket "$SOCKET" fan inspect 2>&1) || true
      case "$REPLY_TEXT" in *"$1"*) break ;; esac
      tries=$((tries + 1))
      [ "$tries" -lt 75 ] || fail "the helper did not report: $1"
      sleep 0.2
    done
    echo "$REPLY_TEXT"
  }
  show "$SIM" world --root "$WORLD" set-temperature --cpu 60
  "$SIM" world --root "$WORLD" set-temperature --cpu 60
  show "$CTL" --socket "$SOCKET" fan apply --acknowledge --auto-max --threshold 75 --source cpu "&"
  "$CTL" --socket "$SOCKET" fan apply --acknowledge --auto-max --threshold 75 --source cpu >"$WORK/auto-max.out" 2>&1 &
  local holder=$!
  show "$CTL" --socket "$SOCKET" fan inspect
  await_fan_message "Auto Max armed"

  show "$SIM" world --root "$WORLD" set-temperature --cpu 80
  "$SIM" world --root "$WORLD" set-temperature --cpu 80
  show "$CTL" --socket "$SOCKET" fan inspect
  await_fan_message "Auto Max is boosting the detected fans."
  expect_reply_contains "held"

  show "$SIM" world --root "$WORLD" set-temperature --cpu 72
  "$SIM" world --root "$WORLD" set-temperature --cpu 72
  echo "(72 °C is below the threshold but inside the 5 °C band: still boosting)"
  show "$CTL" --socket "$SOCKET" fan inspect
  await_fan_message "Auto Max is boosting the detected fans."

  show "$SIM" world --root "$WORLD" set-temperature --cpu 70
  "$SIM" world --root "$WORLD" set-temperature --cpu 70
  show "$CTL" --socket "$SOCKET" fan inspect
  await_fan_message "Auto Max armed"
  case "$REPLY_TEXT" in *held*) fail "a fan is still held while Auto Max is armed" ;; esac

  show kill -INT "\$HOLDER_PID" "  # Ctrl-C: the client restores System and exits"
  kill -INT "$holder"
  set +e
  wait "$holder"
  STATUS=$?
  set -e
  REPLY_TEXT=$(cat "$WORK/auto-max.out")
  echo "the client's final reply: $(grep -F "System control restored" "$WORK/auto-max.out" || true)"
  expect_status 0
  expect_reply_contains "System control restored by the user."
  "$SIM" world --root "$WORLD" set-temperature --cpu 45
}
tour_fan_auto_max
# Each feature's stop is a function at the end of this file; they run here, in file order.
eval "$(sed -n '/^# ---- feature stops ----$/,$p' "${BASH_SOURCE[0]}")"
tour_materialize
tour_installers
tour_preflight
tour_downloads
quarantine_stop
tour_rescue_destinations
tour_rescue_creation

heading "Stop the simulator"
show kill -TERM "\$SIM_PID"
kill -TERM "$SIM_PID"
# The simulator's output pipe closes when it exits: wait for that, bounded.
set +e
read -r -t "$STOP_SECONDS" LINE <&3
READ_STATUS=$?
[ "$READ_STATUS" -ne 0 ] || fail "unexpected output from the simulator: $LINE"
[ "$READ_STATUS" -le 128 ] || fail "the simulator did not stop within $STOP_SECONDS seconds"
wait "$SIM_PID"
SIM_STATUS=$?
set -e
SIM_PID=""
[ "$SIM_STATUS" -eq 0 ] || fail "the simulator exited with status $SIM_STATUS"
echo "the simulator stopped (exit status 0)"

echo
echo "Tour complete. Next: 'make test' runs every test; README.md explains the pieces."

# ---- feature stops ----

# Materialization: a saved InstallAssistant.pkg becomes a verified installer in
# /Applications, phase by phase; a second run is refused rather than overwrite it.
tour_materialize() {
  heading "Save an installer package, then turn it into a verified installer in /Applications"
  show "$SIM" world --root "$WORLD" installer package --folder sequoia --version 15.1 --build 24B83
  local package
  package=$("$SIM" world --root "$WORLD" installer package --folder sequoia --version 15.1 --build 24B83) \
    || fail "the package could not be saved"
  echo "$package"
  show "$CTL" --socket "$SOCKET" materialize "$package" --version 15.1 --build 24B83
  run_ctl "$CTL" materialize "$package" --version 15.1 --build 24B83
  expect_status 0
  expect_reply_contains "The verified macOS installer is ready in /Applications."
  expect_reply_contains "payload: macOS 15.1 (24B83)"
  expect_reply_contains "workspace: removed (verified)"
  show ls "\$WORLD/root/Applications"
  ls "$WORLD/root/Applications"
  [ -d "$WORLD/root/Applications/Install macOS Sequoia.app/Contents/SharedSupport" ] \
    || fail "the installer is not in /Applications"

  heading "The same package again: nothing in /Applications is ever overwritten"
  show "$CTL" --socket "$SOCKET" materialize "$package" --version 15.1 --build 24B83
  run_ctl "$CTL" materialize "$package" --version 15.1 --build 24B83
  expect_status 4
  expect_reply_contains "placing verified installer in Applications: failed"
  expect_reply_contains "It was not overwritten."
  rm -f "$WORLD/root$package"
}

# Local installers: the installer just placed in /Applications is reviewed with an image
# attached from inside it, the image is released (a normal detach), and the installer,
# with a locked file, reviewed again and deleted permanently (the lock cleared just before).
tour_installers() {
  local app="/Applications/Install macOS Sequoia.app" id
  heading "Review the local installers while an image inside one is attached"
  show "$SIM" world --root "$WORLD" attach-image "\"$app/Contents/SharedSupport/SharedSupport.dmg\"" \
    --entity /dev/disk9 --entity "/dev/disk9s1=/Volumes/Shared Support" --hdid-pid 400
  "$SIM" world --root "$WORLD" attach-image "$app/Contents/SharedSupport/SharedSupport.dmg" \
    --entity /dev/disk9 --entity "/dev/disk9s1=/Volumes/Shared Support" --hdid-pid 400 \
    || fail "the image could not be attached"
  show "$CTL" --socket "$SOCKET" installers scan
  run_ctl "$CTL" installers scan
  expect_status 0
  expect_reply_contains "release images first"
  id=$(printf '%s\n' "$REPLY_TEXT" | sed -n 's/^    review: \([0-9A-F-]*\) until .*/\1/p' | head -n 1)
  [ -n "$id" ] || fail "the scan approved no image release"

  heading "Release the installer's image: a normal detach, no file deleted"
  show "$CTL" --socket "$SOCKET" installers release-images "$id" --acknowledge --no-installation-in-progress
  run_ctl "$CTL" installers release-images "$id" --acknowledge --no-installation-in-progress
  expect_status 0
  expect_reply_contains "Installer image release verified."

  heading "Lock a file of the installer (chflags uchg), review again, then delete the installer permanently"
  show "$SIM" world --root "$WORLD" file-flags "\"$app/Contents/Info.plist\"" uchg
  "$SIM" world --root "$WORLD" file-flags "$app/Contents/Info.plist" uchg || fail "the flag could not be set"
  show "$CTL" --socket "$SOCKET" installers scan
  run_ctl "$CTL" installers scan
  expect_reply_contains "may be deleted"
  id=$(printf '%s\n' "$REPLY_TEXT" | sed -n 's/^    review: \([0-9A-F-]*\) until .*/\1/p' | head -n 1)
  [ -n "$id" ] || fail "the scan approved no deletion"
  show "$CTL" --socket "$SOCKET" installers delete "$id" --permanent
  run_ctl "$CTL" installers delete "$id" --permanent
  expect_status 2
  show "$CTL" --socket "$SOCKET" installers delete "$id" --permanent --no-installation-in-progress
  run_ctl "$CTL" installers delete "$id" --permanent --no-installation-in-progress
  expect_status 0
  expect_reply_contains "Local installer permanently deleted; removal verified."
  [ ! -e "$WORLD/root$app" ] || fail "the installer is still in /Applications"
}

# Preparation preflight: enough space, too little space, and a leftover workspace that
# blocks any new preparation until it is reviewed.
tour_preflight() {
  heading "Preflight: is there working space to prepare a 13 GB installer?"
  show "$CTL" --socket "$SOCKET" preflight --package-bytes 13000000000
  run_ctl "$CTL" preflight --package-bytes 13000000000
  expect_status 0
  expect_reply_contains "Working-space budget: 60.59 GB additional, 1.1 TB available."

  heading "Preflight with 20 GB free: refused, nothing created"
  show "$SIM" world --root "$WORLD" free-space 20000000000
  "$SIM" world --root "$WORLD" free-space 20000000000
  show "$CTL" --socket "$SOCKET" preflight --package-bytes 13000000000 --already-downloaded
  run_ctl "$CTL" preflight --package-bytes 13000000000 --already-downloaded
  expect_status 4
  expect_reply_contains "Not enough working space. This operation budgets 47.59 GB"
  expect_reply_contains "20 GB is available. No new workspace was created."

  heading "A leftover preparation workspace blocks every new preparation"
  show "$SIM" world --root "$WORLD" preparation add-workspace
  local workspace
  workspace=$("$SIM" world --root "$WORLD" preparation add-workspace)
  echo "$workspace"
  show "$CTL" --socket "$SOCKET" preflight --package-bytes 13000000000 --json
  run_ctl "$CTL" preflight --package-bytes 13000000000 --json
  expect_status 4
  expect_reply_contains "Earlier preparation storage remains at $workspace. No new workspace was created."
  "$SIM" world --root "$WORLD" free-space 1099511627776
}

# Interrupted installer downloads: a scan that finds one, explains the others, and its removal.
tour_downloads() {
  heading "Interrupted installer downloads: scan, then remove the idle one"
  echo "(the Mac's clock is set an hour ahead, so files made now look an hour old to the helper)"
  local step
  for step in "set-clock --ahead 3600" \
              "download add --folder 24B83 --size 13500000" \
              "download add --folder 24C101 --size 2000000" \
              "download lock 24C101" \
              "download apple --size 800000 --owner admin"; do
    show "$SIM" world --root "$WORLD" $step
    # shellcheck disable=SC2086
    "$SIM" world --root "$WORLD" $step || fail "tidewarden-sim world $step failed"
  done
  show "$CTL" --socket "$SOCKET" downloads scan
  run_ctl "$CTL" downloads scan
  expect_status 0
  expect_reply_contains "Tidewarden is still downloading or preparing this installer."
  expect_reply_contains "The Apple download is not owned by root"
  local id
  # The ID is the last column of the row above the item's "where:" line.
  id=$(printf '%s\n' "$REPLY_TEXT" | grep -B1 "where: /Users/Shared/Tidewarden/Downloads/24B83/" \
       | head -n 1 | awk '{print $NF}')
  [ -n "$id" ] || fail "the scan did not report the idle download"
  echo "(removal watches the file for 20 seconds before it removes it)"
  show "$CTL" --socket "$SOCKET" downloads remove "$id" --no-installation-in-progress
  run_ctl "$CTL" downloads remove "$id" --no-installation-in-progress
  expect_status 0
  expect_reply_contains "Removed 1 of 1"
  [ ! -e "$WORLD/root/Users/Shared/Tidewarden/Downloads/24B83/InstallAssistant.pkg.partial" ] \
    || fail "the removed download is still there"
  show "$CTL" --socket "$SOCKET" downloads remove "$id" --no-installation-in-progress
  run_ctl "$CTL" downloads remove "$id" --no-installation-in-progress
  expect_status 4
  expect_reply_contains "A selection expired or is no longer approved."
  show "$SIM" world --root "$WORLD" download unlock 24C101
  "$SIM" world --root "$WORLD" download unlock 24C101 || fail "the downloader did not let go of its lock"
}

# Rescue Drive destinations: sticks plugged into the simulated Mac, judged by the same
# inventory rules the helper revalidates with; then Disk Arbitration mounts a partition.
tour_rescue_destinations() {
  heading "Rescue Drive destinations: four sticks, every row offered or refused with its reason"
  local preset
  for preset in usb-64g-two-partitions usb-15g9 usb-32g-fdisk usb-apfs; do
    show "$SIM" world --root "$WORLD" disk add --preset "$preset"
    "$SIM" world --root "$WORLD" disk add --preset "$preset" >/dev/null || fail "tidewarden-sim could not add $preset"
  done
  show "$CTL" rescue destinations --mac "$WORLD"
  run_ctl "$CTL" rescue destinations --mac "$WORLD"
  expect_status 0
  expect_reply_contains "Physical disk is smaller than 16 GB."
  expect_reply_contains "requires a GUID partition map"
  expect_reply_contains "Shared APFS volume, not an independent partition."

  heading "Disk Arbitration asks to mount a partition; no creation runs, so nothing dissents"
  show "$SIM" world --root "$WORLD" disk mount disk4s3
  "$SIM" world --root "$WORLD" disk mount disk4s3 >/dev/null || fail "the mount request was not posted"
  local tries=0 world
  while :; do
    world=$("$SIM" world --root "$WORLD" show)
    case "$world" in *'"mounted": true'*) break ;; esac
    tries=$((tries + 1))
    [ "$tries" -lt 150 ] || fail "the simulated Disk Arbitration did not answer the mount request"
    sleep 0.1
  done
  echo "(world: disk4s3 mounted at $(printf '%s' "$world" | grep -o '"/Volumes/SPARE4"' | head -n 1))"
}

# Rescue Drive creation on one partition of a two-partition stick: the scope typed again,
# the live progress of Apple's (simulated) tool, and the sibling left as it was.
tour_rescue_creation() {
  heading "Create a Rescue Drive on ONE partition of a two-partition stick"
  local disk
  show "$SIM" world --root "$WORLD" disk add --preset usb-64g-two-partitions
  disk=$("$SIM" world --root "$WORLD" disk add --preset usb-64g-two-partitions) || fail "the stick could not be added"
  echo "$disk"
  if [ ! -e "$WORLD/root/Applications/Install macOS Sequoia.app" ]; then
    echo "(the installer the tour materialized was deleted above: put a verified one back in /Applications)"
    show "$SIM" world --root "$WORLD" installer app
    "$SIM" world --root "$WORLD" installer app || fail "the installer could not be laid out"
  fi
  show "$SIM" world --root "$WORLD" installer media-tool --duration-ms 4000
  "$SIM" world --root "$WORLD" installer media-tool --duration-ms 4000 || fail "the media tool could not be set"
  show "$CTL" rescue destinations --mac "$WORLD" "| grep $disk"
  "$CTL" rescue destinations --mac "$WORLD" | grep -E "^DISK|^$disk" || true
  echo partition >"$WORK/scope.txt"
  show "$CTL" --socket "$SOCKET" rescue start --installer "'/Applications/Install macOS Sequoia.app'" \
    --destination "${disk}s2" --scope partition --mac "$WORLD" "<<< partition"
  INPUT_FILE="$WORK/scope.txt" run_ctl "$CTL" rescue start --installer "/Applications/Install macOS Sequoia.app" \
    --destination "${disk}s2" --scope partition --mac "$WORLD"
  expect_status 0
  expect_reply_contains "creatingInstaller 20%"
  expect_reply_contains "Installer created on the selected partition. Other partition identities and extents are unchanged."

  heading "The sibling ${disk}s3 is untouched: same record, still unmounted (its auto-mount was refused)"
  show "$CTL" rescue destinations --mac "$WORLD" "| grep $disk"
  "$CTL" rescue destinations --mac "$WORLD" | grep -E "^DISK|^$disk"
  echo "(Apple's tool renamed the volume after the installer; macOS mounted it again under that name)"
  show ls "'\$WORLD/root/Volumes/Install macOS Sequoia'"
  ls "$WORLD/root/Volumes/Install macOS Sequoia" || fail "the renamed volume is not mounted under the installer's name"
  local shown
  shown=$("$SIM" world --root "$WORLD" show) || fail "the world could not be shown"
  case "$shown" in
    *"preserving this volume's unmounted state"*) ;;
    *) fail "no refused sibling mount was recorded" ;;
  esac
  echo "(world: the sibling's mount request was refused: Tidewarden is preserving this volume's unmounted state during installer creation.)"
}
