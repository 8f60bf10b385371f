#!/bin/sh
# Builds both packages into build/packages/: tarnwick_<version>_amd64.deb
# from the release build and tarnwick-<version>-setup.exe (the 64-bit
# installer) from the windows build.  The version is the project's in
# CMakeLists.txt.  Needs cmake, ninja, g++, mingw-w64, dpkg-dev, nsis.
set -e
cd "$(dirname "$0")/.."
out=build/packages
cmake --preset release >/dev/null
cmake --build build/release -j2 --target tarnwick tarnwick-sc tarnwick-check
cmake --preset windows >/dev/null
cmake --build build/windows -j2 --target tarnwick tarnwick-check
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
rm -rf "$out"
mkdir -p "$out"

# The Debian package.
root=$out/deb
bin=build/release
install -D -s -m 0755 $bin/tarnwick $root/usr/sbin/tarnwick
install -D -s -m 0755 $bin/platform/posix/sc/tarnwick-sc $root/usr/sbin/tarnwick-sc
install -D -s -m 0755 $bin/check/tarnwick-check $root/usr/bin/tarnwick-check
install -D -m 0644 packaging/tarnwick.service $root/lib/systemd/system/tarnwick.service
for f in registry.reg win.ini syslog.conf; do
    install -D -m 0644 packaging/$f $root/etc/tarnwick/$f
done
for page in packaging/man/*.[0-9]; do
    dir=$root/usr/share/man/man${page##*.}
    install -D -m 0644 "$page" "$dir/${page##*/}"
    gzip -9n "$dir/${page##*/}"
done
doc=$root/usr/share/doc/tarnwick
install -D -m 0644 packaging/debian/copyright $doc/copyright
date=$(git log -1 --format=%aD 2>/dev/null || date -R)
printf 'tarnwick (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- %s  %s\n' \
    "$version" "$version" "$(sed -n 's/^Maintainer: //p' packaging/debian/control)" "$date" |
    gzip -9n >$doc/changelog.gz
install -d $root/DEBIAN
install -m 0755 packaging/debian/postinst packaging/debian/prerm packaging/debian/postrm $root/DEBIAN
install -m 0644 packaging/debian/conffiles $root/DEBIAN
# The libraries the programs need, as dpkg-shlibdeps finds them.
mkdir -p $out/shlibs/debian
touch $out/shlibs/debian/control
depends=$(cd $out/shlibs && dpkg-shlibdeps -O -e ../deb/usr/sbin/tarnwick \
              -e ../deb/usr/sbin/tarnwick-sc -e ../deb/usr/bin/tarnwick-check 2>/dev/null |
          sed -n 's/^shlibs:Depends=//p')
sed -e "s/@VERSION@/$version/" -e "s/@DEPENDS@/$depends/" \
    -e "s/@SIZE@/$(du -sk --exclude=DEBIAN $root | cut -f1)/" \
    packaging/debian/control >$root/DEBIAN/control
dpkg-deb --root-owner-group -Zxz --build $root "$out/tarnwick_${version}_amd64.deb"

# The Windows installer; its default rule file is the Debian one with the
# log folder c:\syslog, in CR LF lines.
sed -e 's|/var/log/tarnwick/|\\syslog\\|g' -e 's/$/\r/' packaging/syslog.conf >$out/syslog.conf
makensis -V2 -DVERSION="$version" -DBUILD="$PWD/build/windows" -DRULES="$PWD/$out/syslog.conf" \
    -DOUTFILE="$PWD/$out/tarnwick-$version-setup.exe" packaging/tarnwick.nsi
rm -rf $root $out/shlibs $out/syslog.conf
ls -l "$out"
