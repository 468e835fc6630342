#!/usr/bin/env bash
# The include check passes the project's sources and refuses every kind of upward include.
set -u
check=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
fail=0
expect() {  # expect RC FILE LINE: one file holding one include line, checked alone
    rm -rf "$tree"/*
    mkdir -p "$tree/$(dirname "$2")"
    printf '%s\n' "$3" >"$tree/$2"
    "$check" "$tree" 2>/dev/null
    local rc=$?
    if [ "$rc" -ne "$1" ]; then
        echo "FAIL: $2 with '$3' gave $rc, expected $1"
        fail=1
    fi
}
"$check" || { echo "FAIL: the project's sources break the layering"; fail=1; }
expect 1 net/Inet.cpp '#include "app/ItemList.h"'
expect 1 settings/Settings.h '#include "net/Panel.h"'
expect 1 notify/MailQueue.cpp '#include "monitors/WebMonitor.h"'
expect 1 monitors/WebMonitor.h '  #  include "app/Panel.h"'
expect 1 platform/Window.h '#include "settings/Settings.h"'
expect 1 app/Panel.cpp '#include "ui/Icons.h"'
expect 1 stray/File.cpp '#include <string>'
expect 0 monitors/WebMonitor.h '#include "notify/MailQueue.h"'
expect 0 net/Http.cpp '#include "settings/Settings.h"'
expect 0 ui/View.cpp '#include "app/RunWindow.h"'
expect 0 app/X.cpp '#include <QObject>'
expect 0 main.cpp '#include "ui/MainFrame.h"'
exit $fail
