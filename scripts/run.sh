#!/usr/bin/env bash
# Installs what is needed, builds Vendrax and starts it. Arguments go to the
# application. Capturing packets needs root (or the capture capabilities).
set -euo pipefail
cd "$(dirname "$0")/.."

# The window needs a graphical session; without one the program could only
# abort. Nothing is installed or built then.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "Vendrax needs a graphical session, and there is none here (DISPLAY and WAYLAND_DISPLAY are unset)." >&2
  echo "Run this from a terminal inside the desktop (see README.md, \"Run it\"). Nothing was started." >&2
  exit 1
fi

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target vendrax

# Qt's per-user data folder for the organisation and application names: the
# XDG data home (when set to an absolute path) or ~/.local/share.
data_home="${XDG_DATA_HOME:-}"
case "$data_home" in /*) ;; *) data_home="$HOME/.local/share" ;; esac
echo
echo "Kept files and the catalogues (images.dat, videos.dat) go to:"
echo "  $data_home/Tormane Solutions/Vendrax"
if [ "$(id -u)" -eq 0 ]; then
  echo "Capturing packets needs root or the capture capabilities: running as root."
else
  echo "Capturing packets needs root, or the capture capabilities on the executable:"
  echo "  sudo setcap cap_net_raw,cap_net_admin=eip build/app/vendrax"
fi
if ! command -v xdg-open >/dev/null; then
  echo "xdg-open is missing (Debian package xdg-utils): Open and Play will open nothing."
fi
echo

exec build/app/vendrax "$@"
