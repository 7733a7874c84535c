# Sourced by the scripts that create the machine-wide shared segment:
# `private_shm "$0" "$@"` re-runs the calling script in a mount namespace of
# its own with a fresh tmpfs on /dev/shm, as root and where the machine
# allows it, so that a device, a benchmark or a test run elsewhere on the
# machine cannot disturb it (nor it them). Returns when it cannot (not root,
# no namespaces) or already runs inside one.
private_shm() {
  if [[ $EUID -eq 0 && -z "${VOREL_PRIVATE_SHM:-}" ]] &&
    unshare -m sh -c 'mount -t tmpfs tmpfs /dev/shm' 2>/dev/null; then
    exec unshare -m sh -c 'mount -t tmpfs tmpfs /dev/shm && VOREL_PRIVATE_SHM=1 exec "$0" "$@"' \
      "$@"
  fi
}
