# Sourced by the scripts that fetch Debian packages: the package manager's commands made to
# survive a mirror that is mid-sync. Such a mirror fails one index ("File has unexpected
# size ... Mirror sync in progress?") while the packages we want are still there, and a
# download can fail for the minute the sync lasts. So a failed refresh is a warning, and the
# command that needs a package is tried again a few times, the lists refreshed in between.
apt_sudo=""
[[ $(id -u) -eq 0 ]] || apt_sudo="sudo"

# apt_refresh: refreshes the package lists; an index that could not be fetched leaves the
# others usable, so only the command that then needs a package decides whether that matters.
apt_refresh() {
  $apt_sudo apt-get update -q ||
    echo "apt: some package lists could not be refreshed; going on with those that were" >&2
}

# apt_retry COMMAND...: runs the command up to APT_TRIES times (default 4), refreshing the
# lists and waiting longer after each failure (APT_RETRY_WAIT seconds, then twice that...).
apt_retry() {
  local tries=${APT_TRIES:-4} wait=${APT_RETRY_WAIT:-15} try
  for ((try = 1; ; ++try)); do
    "$@" && return 0
    if ((try >= tries)); then
      echo "apt: '$*' failed $tries times, giving up" >&2
      return 1
    fi
    echo "apt: '$*' failed (try $try of $tries); trying again in $((wait * try)) s" >&2
    sleep $((wait * try))
    apt_refresh
  done
}
