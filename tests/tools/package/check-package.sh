#!/bin/sh
# Builds the Debian packages from the build in BUILD_DIR and checks what an
# administrator's package manager sees: the files of each package, the
# dependencies computed from the binaries, the maintainer scripts (they
# reload systemd and disable the timer on removal, never enable anything) and
# lintian's verdict (no error, no warning) where lintian is installed.
# Usage: check-package.sh BUILD_DIR
set -eu
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1 || {
    cat "$out/cpack.log"
    exit 1
}
version=$(sed -n 's/^qbonlineupdater (\([^)]*\)).*/\1/p' "$(dirname "$0")/../../../data/changelog" | head -n 1)
practice="$out/qbonlineupdater_${version}_amd64.deb"
vendor="$out/qbpublish_${version}_amd64.deb"
for deb in "$practice" "$vendor"; do
    [ -f "$deb" ] || { echo "missing package $(basename "$deb"): $(ls "$out")"; exit 1; }
done

has_files() {
    files=$(dpkg-deb -c "$1" | awk '{print $6}')
    shift
    for f in "$@"; do
        echo "$files" | grep -qx "$f" || { echo "missing: $f"; exit 1; }
    done
}
has_files "$practice" ./usr/bin/QbOnlineUpdater ./usr/bin/qbupdate ./usr/bin/qbreg \
    ./usr/share/locale/en/LC_MESSAGES/qbonlineupdater.mo \
    ./usr/share/applications/QbOnlineUpdater.desktop \
    ./usr/lib/systemd/system/qbupdate.service ./usr/lib/systemd/system/qbupdate.timer \
    ./usr/share/man/man1/qbupdate.1.gz ./usr/share/man/man1/qbreg.1.gz \
    ./usr/share/man/man1/QbOnlineUpdater.1.gz \
    ./usr/share/doc/qbonlineupdater/copyright ./usr/share/doc/qbonlineupdater/changelog.gz
has_files "$vendor" ./usr/bin/qbpublish ./usr/share/man/man1/qbpublish.1.gz \
    ./usr/share/doc/qbpublish/copyright ./usr/share/doc/qbpublish/changelog.gz
# The practices' package holds no publisher.
if dpkg-deb -c "$practice" | grep -q qbpublish; then
    echo "the practice package holds qbpublish"
    exit 1
fi

depends=$(dpkg-deb -f "$practice" Depends)
for d in libc6 libcurl4 libqt6widgets6 libzip4 libssl3 libsqlite3-0 libxml2; do
    echo "$depends" | grep -q "$d" || { echo "Depends lacks $d: $depends"; exit 1; }
done
service=$(dpkg-deb --fsys-tarfile "$practice" | tar -xO ./usr/lib/systemd/system/qbupdate.service)
echo "$service" | grep -qx 'ExecStart=/usr/bin/qbupdate --no-follow-up' || {
    echo "the service does not start the packaged program: $service"
    exit 1
}

# The maintainer scripts: systemd reloaded, the timer disabled on removal,
# nothing ever enabled.
dpkg-deb -e "$practice" "$out/control"
grep -q 'daemon-reload' "$out/control/postinst" || { echo "postinst reloads nothing"; exit 1; }
grep -q 'disable qbupdate.timer' "$out/control/prerm" || { echo "prerm disables nothing"; exit 1; }
if grep -v '^#' "$out/control/postinst" | grep -q 'enable'; then
    echo "postinst enables something"
    exit 1
fi
dpkg-deb -e "$vendor" "$out/vendor-control"
if ls "$out/vendor-control" | grep -q 'inst\|rm'; then
    echo "the vendor package has maintainer scripts: $(ls "$out/vendor-control")"
    exit 1
fi

if command -v lintian >/dev/null 2>&1; then
    lintian "$practice" "$vendor" > "$out/lintian.log" 2>&1 || true
    if grep -q '^[EW]: ' "$out/lintian.log"; then
        cat "$out/lintian.log"
        exit 1
    fi
fi
echo "packages checked: $(basename "$practice") $(basename "$vendor")"
