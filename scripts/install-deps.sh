#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, skipping those
# already present.  Needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  gettext       # msgfmt builds pellicle's message catalogues
  ffmpeg        # ffprobe/ffmpeg check the agent's YUV4MPEG2 files in the tests
  # publish, and the private PipeWire session its tests and the demo run in
  libpipewire-0.3-dev libspa-0.2-dev
  pipewire pipewire-bin wireplumber dbus-daemon dbus-bin
  # GStreamer's pipewiresrc: the unmodified client of the tests and the demo
  gstreamer1.0-tools gstreamer1.0-pipewire gstreamer1.0-plugins-base
  gstreamer1.0-plugins-good
  # real browsers seeing the camera through the desktop portal
  chromium firefox-esr xdg-desktop-portal libglib2.0-bin python3
  # the installation and the Debian package, and their checks
  dpkg-dev lintian man-db systemd
)

missing=()
for pkg in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all build dependencies are present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
if [[ $(id -u) -eq 0 ]]; then
  run=()
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
  run=(sudo)
else
  echo "install-deps: missing packages ${missing[*]}; run this script as root" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${run[@]}" apt-get update -q
"${run[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
