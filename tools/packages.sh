# Sourced by x.sh and the stage scripts: installs Debian packages that are missing.
# need_packages PKG...: returns non-zero when an install fails.

sockvane_apt_updated=${sockvane_apt_updated:-0}

need_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  printf '== installing: %s\n' "${missing[*]}" >&2
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  # rsyslog-pgsql would offer to make a database in this machine's own
  # PostgreSQL cluster; the tests make their own.
  echo "rsyslog-pgsql rsyslog-pgsql/dbconfig-install boolean false" | "${sudo[@]}" debconf-set-selections
  if [ "$sockvane_apt_updated" -eq 0 ]; then
    "${sudo[@]}" apt-get update -qq || return 1
    sockvane_apt_updated=1
    export sockvane_apt_updated
  fi
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}
