# Sourced by the build scripts: makes sure the build tools and libraries are
# there before anything is built.
#
#   require PACKAGE:WHAT ...
#
# PACKAGE is the Debian/Ubuntu package that provides WHAT: a command name,
# or an absolute path (a shell pattern) that must exist, or several of them
# separated by "|" when any one will do. Missing packages are installed when
# the script runs as root on a system with apt-get; otherwise the one install
# command is printed and the function fails.

apt_lists_updated=no

require() {
    local item package what missing=()
    for item in "$@"; do
        package=${item%%:*}
        what=${item#*:}
        if ! provided "$what" && [[ " ${missing[*]} " != *" $package "* ]]; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local install=(apt-get install -y --no-install-recommends "${missing[@]}")
    if [ "$(id -u)" != 0 ] || ! command -v apt-get > /dev/null; then
        echo "Missing: ${missing[*]}. Install with (Debian/Ubuntu package names):" >&2
        if [ "$(id -u)" = 0 ]; then
            echo "  ${install[*]}" >&2
        else
            echo "  sudo ${install[*]}" >&2
        fi
        return 1
    fi

    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if [ "$apt_lists_updated" = no ]; then
        apt-get update -q || return 1
        apt_lists_updated=yes
    fi
    "${install[@]}" < /dev/null || return 1
    for item in "$@"; do
        what=${item#*:}
        provided "$what" || { echo "Still missing after the installation: $what" >&2; return 1; }
    done
}

provided() {
    local choice choices
    IFS='|' read -ra choices <<< "$1"
    for choice in "${choices[@]}"; do
        case $choice in
            /*) compgen -G "$choice" > /dev/null && return 0 ;;
            *) command -v "$choice" > /dev/null && return 0 ;;
        esac
    done
    return 1
}

# What building the program needs.
build_requirements=(cmake:cmake ninja-build:ninja g++:g++ g++:gcc nlohmann-json3-dev:/usr/include/nlohmann/json.hpp)
# What building and running the unit tests needs besides: GoogleTest and
# the zone data of the TZ=Asia/Tokyo the tests run with.
test_requirements=("libgtest-dev:/usr/include/gtest/gtest.h|/usr/local/include/gtest/gtest.h"
    tzdata:/usr/share/zoneinfo/Asia/Tokyo)
