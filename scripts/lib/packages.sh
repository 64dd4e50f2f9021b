# packages.sh - installing what a script needs on Debian 12; sourced by scripts/test and
# scripts/demo.
#
#   install_missing_packages NAME PACKAGE...
# installs, with apt-get, those of the packages that are not installed yet: as root
# directly, otherwise through sudo. ZEL_APT_OPTIONS adds options to apt-get install (for
# example --no-install-recommends). NAME (the calling script) prefixes the messages. Ends the
# script when packages are missing and there is no way to install them.

install_missing_packages() {
    local who=$1
    shift
    local missing=() package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    if ((${#missing[@]} == 0)); then
        printf '\n==> All packages are installed\n'
        return 0
    fi
    local sudo=()
    if [[ $(id -u) != 0 ]]; then
        if command -v sudo >/dev/null; then
            sudo=(sudo)
        else
            echo "$who: missing packages (${missing[*]}) and no root or sudo to install them" >&2
            exit 1
        fi
    fi
    printf '\n==> Installing %s\n' "${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q ${ZEL_APT_OPTIONS:-} "${missing[@]}"
}
