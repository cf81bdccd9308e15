# Shared by the scripts in scripts/: package installation and privilege handling.
# shellcheck shell=bash

quellnet_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Runs a command as root: directly when we are root, through sudo otherwise.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

# Installs the given Debian packages that are not installed yet.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "==> installing: ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# What building and packaging the client needs (qt6-base-dev also brings Qt D-Bus, through which the
# program reaches the desktop's notifications; dpkg-dev: dpkg-shlibdeps for the .deb's dependencies;
# qtkeychain-qt6-dev: the Secret Service for the remembered password; qt6-tools-dev and
# qt6-l10n-tools: qt_add_translations, lupdate and lrelease for the German and English catalogues).
build_packages=(cmake g++ make pkg-config qt6-base-dev libgl-dev dpkg-dev qtkeychain-qt6-dev qt6-tools-dev
    qt6-l10n-tools)
# What the tests and the demo need besides: the real openvpn, a test PKI, network namespaces,
# a listener inside the test server's namespace (socat), the name servers of the tunnel and of the
# test LAN (dnsmasq-base), an X server for real-window screenshots;
# polkit's DTD, xmllint and systemd-analyze check the polkit action and the helper's service;
# Qt's own translations (qt6-translations-l10n) for the language tests; a real Secret Service on a
# bus of its own for the keyring test (gnome-keyring, dbus-daemon's dbus-run-session, and
# libsecret-tools' secret-tool to look into it), and such a bus for the notification test;
# desktop-file-validate, appstreamcli and lintian for the desktop entry, the AppStream metadata and
# the Debian package.
runtime_packages=(openvpn openssl iproute2 procps socat dnsmasq-base xvfb xdotool x11-apps imagemagick
    polkitd libxml2-utils systemd qt6-translations-l10n gnome-keyring dbus-daemon libsecret-tools
    desktop-file-utils appstream lintian)
# The fuzz targets (scripts/fuzz): clang with libFuzzer and the sanitizer runtimes, and
# llvm-symbolizer for readable reports.
fuzz_packages=(clang-14 libclang-rt-14-dev llvm)
# What scripts/bench needs besides: xcb's DAMAGE and XTEST client libraries, with which the
# benchmark sees the program's first frame reach the X server and clicks its window.
bench_packages=(libxcb-damage0-dev libxcb-xtest0-dev)
