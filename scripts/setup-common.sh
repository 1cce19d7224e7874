# Shared by scripts/test and scripts/demo: installs the Debian packages the
# build needs when they are missing, and configures and builds.
# Sourced, not run; expects ROOT to be the repository's top directory.

KORVANET_PACKAGES="cmake ninja-build g++ rapidjson-dev libgtest-dev python3 binutils"

install_missing_packages() {
  local missing=()
  for package in $KORVANET_PACKAGES "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing missing packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
  fi
}

# build_korvanet BUILD_DIR [extra cmake arguments...]
build_korvanet() {
  local dir="$1"
  shift
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir"
}
