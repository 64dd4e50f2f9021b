#!/usr/bin/env bash
# package_test.sh - builds the Debian packages, checks their contents and maintainer scripts
# with lintian, installs them with dpkg on this machine, runs the installed zel (--help, and
# --check against a throwaway PostgreSQL, with the module found by bare name in the package's
# module directory), and purges them again.
#
#   tests/package/package_test.sh BUILD_DIR
#
# BUILD_DIR is configured here with the install prefix /usr (the compiled-in registry file and
# module path depend on it) and built without tests. Needs root (dpkg -i). Exits non-zero when
# a check fails; prints one line per check.
set -uo pipefail

SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=${1:?usage: package_test.sh BUILD_DIR}
mkdir -p "$BUILD"
BUILD=$(cd "$BUILD" && pwd)
WORK=$BUILD/package-test
rm -rf "$WORK"
mkdir -p "$WORK"
chmod 755 "$WORK"
# shellcheck source=../integration/checks.sh
source "$SRC/tests/integration/checks.sh"

installed=0
cleanup() {
    if ((installed)); then dpkg --purge zel-tools zel >"$WORK/purge-on-exit.log" 2>&1; fi
    "$SRC/scripts/pg-server" stop --clean "$WORK/pg" >/dev/null 2>&1
}
trap cleanup EXIT

if [[ $(id -u) != 0 ]]; then
    echo "package_test.sh: needs root for dpkg -i" >&2
    exit 1
fi

cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
      -DZEL_BUILD_TESTS=OFF -DZEL_BUILD_BENCH=ON >"$WORK/configure.log" 2>&1 ||
    { cat "$WORK/configure.log"; exit 1; }
(cd "$BUILD" && cpack -G DEB) >"$WORK/cpack.log" 2>&1 || { tail -50 "$WORK/cpack.log"; exit 1; }
version=$(sed -n 's/^project(zel VERSION \([0-9.]*\).*/\1/p' "$SRC/CMakeLists.txt")
ZEL_DEB=$BUILD/zel_${version}_amd64.deb
TOOLS_DEB=$BUILD/zel-tools_${version}_amd64.deb
check "both packages are built" test -f "$ZEL_DEB" -a -f "$TOOLS_DEB"

contents() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./|/|'; }
contents "$ZEL_DEB" >"$WORK/zel.contents"
contents "$TOOLS_DEB" >"$WORK/tools.contents"
for path in /usr/bin/zel /usr/bin/zel-schema /usr/bin/zel_exporter /usr/lib/zel/dbdrv_pgsql.so /usr/lib/zel/dbdrv_null.so \
            /etc/zel/zel.config /etc/zel/zel.tabledef /etc/zel/registry \
            /usr/share/doc/zel/examples/zel.tabledef /usr/share/doc/zel/examples/schema/postgresql.sql \
            /usr/share/doc/zel/copyright /lib/systemd/system/zel.service \
            /lib/systemd/system/zel-exporter.service; do
    # usrmerge: the unit may be shipped under /usr/lib as well as /lib.
    alt=${path/#\/lib\//\/usr\/lib\/}
    check "zel ships $path" grep -qxE "$path|$alt" "$WORK/zel.contents"
done
check "zel-tools ships the simulator" grep -qx /usr/bin/feedsim "$WORK/tools.contents"
check "the simulator is not in zel" bash -c "! grep -q 'bin/feedsim' '$WORK/zel.contents'"
dpkg-deb -e "$ZEL_DEB" "$WORK/control"
check "the configuration files are conffiles" \
    diff <(sort "$WORK/control/conffiles") <(printf '%s\n' /etc/zel/registry /etc/zel/zel.config /etc/zel/zel.tabledef)
dpkg-deb --fsys-tarfile "$ZEL_DEB" | tar -xO --wildcards '*zel.service' >"$WORK/zel.service"
check "the service runs as the zel user" grep -qx 'User=zel' "$WORK/zel.service"
check "the unit starts the installed program" grep -qx 'ExecStart=/usr/bin/zel --config=/etc/zel/zel.config' "$WORK/zel.service"

lintian --tag-display-limit 0 "$ZEL_DEB" "$TOOLS_DEB" >"$WORK/lintian.log" 2>&1
check "lintian reports no errors" bash -c "! grep -q '^E:' '$WORK/lintian.log'"
grep -E '^[EW]:' "$WORK/lintian.log" | sed 's/^/  lintian: /'

# A system user from an earlier, interrupted run would hide a broken postinst.
getent passwd zel >/dev/null && userdel zel 2>/dev/null
check "dpkg -i installs both" dpkg -i "$ZEL_DEB" "$TOOLS_DEB"
installed=1
check "postinst made the zel user" getent passwd zel
check "the configuration is readable by the service's group only" \
    test "$(stat -c '%U:%G %a' /etc/zel/zel.config)" = "root:zel 640"
check "zel --help runs from /usr/bin" bash -c "/usr/bin/zel --help | grep -q -- '--check'"
check "feedsim runs from /usr/bin" bash -c "/usr/bin/feedsim --help >/dev/null 2>&1"

# The registry file at its compiled-in place leads to /etc/zel/zel.config from any
# directory: the installed example names a server on the default port, where nothing listens
# here, so the check fails to connect, which shows that the file was found and read.
(cd / && env -u ZEL_REGISTRY /usr/bin/zel --check --console) </dev/null >"$WORK/default-config.out" 2>&1
check "zel finds /etc/zel/zel.config through the registry file" \
    bash -c "! grep -q 'Could not open config file' '$WORK/default-config.out' && grep -q 'dbdrv_pgsql\|onnect' '$WORK/default-config.out'"

"$SRC/scripts/pg-server" start "$WORK/pg" >"$WORK/pg.out" 2>&1 || { cat "$WORK/pg.out"; exit 1; }
# shellcheck disable=SC1091
source "$WORK/pg/env"
export PGPASSWORD=$ZEL_PG_PASSWORD
"$ZEL_PG_BINDIR/psql" -X -q -v ON_ERROR_STOP=1 -h "$ZEL_PG_HOST" -p "$ZEL_PG_PORT" -U "$ZEL_PG_USER" \
    -d "$ZEL_PG_DBNAME" -f /usr/share/doc/zel/examples/schema/postgresql.sql >/dev/null
cat >"$WORK/zel.config" <<CONF
Corvalinder
server 127.0.0.1:1

Database
instance dbdrv_pgsql.so
server $ZEL_PG_HOST
port $ZEL_PG_PORT
dbname $ZEL_PG_DBNAME
username $ZEL_PG_USER
password $ZEL_PG_PASSWORD

Application
tabledefinitions /etc/zel/zel.tabledef
CONF
(cd "$WORK" && /usr/bin/zel --check --config="$WORK/zel.config" --console) </dev/null >"$WORK/check.out" 2>&1
status=$?
check "installed zel --check passes against PostgreSQL (module by bare name)" test "$status" = 0
((status)) && cat "$WORK/check.out"

check "dpkg --purge removes both" dpkg --purge zel-tools zel
installed=0
check "nothing of zel is left in /usr/bin, /usr/lib/zel, /etc/zel" \
    bash -c "! test -e /usr/bin/zel -o -e /usr/lib/zel -o -e /etc/zel -o -e /usr/share/zel"
if ((failures)); then
    echo "$failures check(s) failed (work directory: $WORK)"
    exit 1
fi
echo "all checks passed"
