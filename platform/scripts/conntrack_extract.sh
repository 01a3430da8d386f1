#!/bin/sh
# Development stand-in for the gateway's connection-tracking flush script. Flushing is not
# something a test can observe, so each run is recorded instead: its arguments, as one line,
# in conntrack.log. The caller never looks at the status, but a real flush succeeds, so do we.

dir=${LLD_PLATFORM_DIR:-/tmp/platform}

if ! { mkdir -p "$dir" && printf '%s\n' "$*" >>"$dir/conntrack.log"; }; then
    echo "conntrack_extract.sh: cannot append to $dir/conntrack.log" >&2
fi
exit 0
