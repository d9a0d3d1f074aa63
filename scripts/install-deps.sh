#!/usr/bin/env bash
# Installs, with apt-get, every Debian package that scripts/deps.d/*.txt lists
# and that is not installed yet. Idempotent; never asks a question.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wanted=$(cat "$here"/deps.d/*.txt | sed 's/#.*//' | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
missing=()
for pkg in $wanted; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
