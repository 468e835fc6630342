#!/bin/sh
# Runs a test program against a desktop keyring of its own: a private session bus, a
# gnome-keyring-daemon unlocked with a throw-away password, and a HOME and runtime folder
# that are removed afterwards, so the user's own keyring is never touched. Both daemons are
# gone when this ends, whatever the test did.
#   with-private-keyring.sh TESTBIN [ARGS...]
set -u
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-keyring.XXXXXX") || exit 1
mkdir -m 700 "$scratch/home" "$scratch/run"
export HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/run" XDG_DATA_HOME="$scratch/home/data"
export XDG_CONFIG_HOME="$scratch/home/config" XDG_CACHE_HOME="$scratch/home/cache"
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION GNOME_KEYRING_CONTROL
trap 'rm -rf "$scratch"' EXIT INT TERM

dbus-run-session -- sh -c '
  echo -n throwaway | gnome-keyring-daemon --foreground --unlock --components=secrets \
    >/dev/null 2>&1 &
  keyring=$!
  trap "kill $keyring 2>/dev/null; wait $keyring 2>/dev/null" EXIT INT TERM
  # Until it owns its name on the bus (at most ten seconds).
  i=0
  until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
      grep -q "boolean true"; do
    i=$((i + 1))
    if [ $i -gt 100 ] || ! kill -0 $keyring 2>/dev/null; then
      echo "with-private-keyring.sh: gnome-keyring-daemon did not start" >&2
      exit 1
    fi
    sleep 0.1
  done
  "$@"
' sh "$@"
