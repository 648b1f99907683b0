#!/usr/bin/env bash
# Renders a manual page as man shows it and fails on anything groff or man says about it.
# man's --warnings=w turns on every groff warning ("all" leaves some out, such as an
# undefined macro).
set -uo pipefail
page=$1
if ! command -v man >/dev/null; then
    echo "render-man: man is not installed (scripts/install-deps.sh installs man-db)" >&2
    exit 1
fi
messages=$(MANWIDTH=80 LC_ALL=C.UTF-8 man -l --warnings=w "$page" 2>&1 >/dev/null)
status=$?
if [ "$status" -ne 0 ] || [ -n "$messages" ]; then
    echo "render-man: $page (status $status):" >&2
    echo "$messages" >&2
    exit 1
fi
