#!/usr/bin/env bash
# Installs every build, run-time and test dependency of Termiva on Debian 12.
# Idempotent: packages already present are skipped, so a second run is quick.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  # toolchain
  g++ cmake ninja-build pkg-config git clang-format clang-tidy
  # libFuzzer targets (scripts/fuzz.sh)
  clang libclang-rt-14-dev
  # libraries
  nlohmann-json3-dev libicu-dev libssh-dev libcurl4-openssl-dev zlib1g-dev libssl-dev libgcrypt20-dev
  libgtk-3-dev libwebkit2gtk-4.1-dev libayatana-appindicator3-dev libfontconfig-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # the logo rendered from its SVG, the desktop's opener, the desktop entry's check
  librsvg2-bin icoutils xdg-utils desktop-file-utils
  # real protocol peers and test tools
  openssh-server openssh-client lrzsz socat ser2net putty-tools inetutils-telnetd rsh-redone-server
  xvfb x11-utils xdotool imagemagick dbus dbus-x11 procps fonts-noto-cjk
  chromium
  # benchmarks only (bench/echo_window): XTEST keys and screen reads, and xterm as the yardstick
  python3-xlib xterm
  # the Windows cross build (scripts/build-windows.sh) and Wine to run what it builds;
  # dpkg-dev unpacks the Debian source packages scripts/windows-deps.sh builds from
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libgcrypt-mingw-w64-dev
  libgpg-error-mingw-w64-dev libz-mingw-w64-dev wine wine64 dpkg-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# scripts/windows-deps.sh builds libssh for Windows from Debian's source package: the
# sources need a deb-src entry beside the deb one.
if [ -f /etc/apt/sources.list.d/debian.sources ] && ! grep -q '^Types:.*deb-src' /etc/apt/sources.list.d/debian.sources; then
  echo "install-deps: adding deb-src to debian.sources"
  $SUDO sed -i 's/^Types: deb$/Types: deb deb-src/' /etc/apt/sources.list.d/debian.sources
  missing+=(dpkg-dev)  # forces the apt-get update below
elif [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list && ! grep -q '^deb-src ' /etc/apt/sources.list; then
  echo "install-deps: adding deb-src lines to sources.list"
  $SUDO sed -i -e 's/^deb \(.*\)$/deb \1\ndeb-src \1/' /etc/apt/sources.list
  missing+=(dpkg-dev)
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "install-deps: Debian packages present"
fi

command -v node >/dev/null && command -v npm >/dev/null || { echo "install-deps: node and npm are required" >&2; exit 1; }

# The page's terminal widget and the browser-test driver, pinned by web/package-lock.json.
if [ -f web/package.json ]; then
  if [ ! -d web/node_modules ] || [ web/package-lock.json -nt web/node_modules/.package-lock.json ]; then
    (cd web && npm ci --no-audit --no-fund --loglevel=error)
  else
    echo "install-deps: npm packages present"
  fi
fi

# The assistant's outside program, Claude Code, from npm: the real-program tests run it.
if ! command -v claude >/dev/null; then
  echo "install-deps: installing @anthropic-ai/claude-code"
  $SUDO npm install -g --no-audit --no-fund --loglevel=error @anthropic-ai/claude-code
else
  echo "install-deps: claude present"
fi
