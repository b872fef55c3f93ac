#!/bin/sh
# Builds the Debian package from the build in BUILD_DIR and checks what an
# administrator's package manager sees: the files, the dependencies computed
# from the binaries, and lintian's verdict (no error) where lintian is
# installed.
# Usage: check-package.sh BUILD_DIR
set -eu
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1 || {
    cat "$out/cpack.log"
    exit 1
}
deb=$(ls "$out"/*.deb)
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/QbOnlineUpdater ./usr/bin/qbupdate ./usr/bin/qbpublish ./usr/bin/qbreg \
         ./usr/share/locale/en/LC_MESSAGES/qbonlineupdater.mo \
         ./usr/share/applications/QbOnlineUpdater.desktop \
         ./usr/lib/systemd/system/qbupdate.service ./usr/lib/systemd/system/qbupdate.timer \
         ./usr/share/doc/qbonlineupdater/copyright ./usr/share/doc/qbonlineupdater/changelog.gz; do
    echo "$files" | grep -qx "$f" || { echo "missing from the package: $f"; exit 1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
for d in libc6 libcurl4 libqt6widgets6 libzip4 libssl3 libsqlite3-0 libxml2; do
    echo "$depends" | grep -q "$d" || { echo "Depends lacks $d: $depends"; exit 1; }
done
service=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/systemd/system/qbupdate.service)
echo "$service" | grep -qx 'ExecStart=/usr/bin/qbupdate --no-follow-up' || {
    echo "the service does not start the packaged program: $service"
    exit 1
}
# Installing the package enables nothing: no maintainer script does.
if dpkg-deb -e "$deb" "$out/control" && ls "$out/control" | grep -q 'inst\|rm'; then
    echo "the package has maintainer scripts: $(ls "$out/control")"
    exit 1
fi
if command -v lintian >/dev/null 2>&1; then
    lintian "$deb" > "$out/lintian.log" 2>&1 || true
    if grep -q '^E: ' "$out/lintian.log"; then
        cat "$out/lintian.log"
        exit 1
    fi
fi
echo "package checked: $(basename "$deb")"
