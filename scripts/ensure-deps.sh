#!/usr/bin/env bash
# Installs the Debian packages the build needs, but only those that are missing: on a machine
# that has them all this costs a few dpkg look-ups and nothing else.
set -euo pipefail

packages=(cmake ninja-build g++ make libgtest-dev nlohmann-json3-dev ccache qt6-base-dev fonts-dejavu-core xvfb x11-utils)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  SUDO=()
elif command -v sudo >/dev/null 2>&1; then
  SUDO=(sudo)
else
  echo "Missing packages (${missing[*]}) and no root rights to install them." >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
