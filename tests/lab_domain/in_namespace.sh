#!/usr/bin/env bash
# Runs a command in a mount namespace of its own whose /etc/hosts maps the
# domain lab's controller host name to its address (what Kerberos needs),
# leaving the machine's own /etc/hosts untouched. Without a running lab (no
# $SKEWMON_DOMAIN_LAB_DIR/hosts), as when tests are only being listed, the
# command runs as it is.
set -euo pipefail
hosts=${SKEWMON_DOMAIN_LAB_DIR:-}/hosts
if [ -z "${SKEWMON_DOMAIN_LAB_DIR:-}" ] || [ ! -f "$hosts" ]; then
  exec "$@"
fi
exec unshare --mount -- /bin/sh -c 'mount --bind "$0" /etc/hosts && exec "$@"' "$hosts" "$@"
