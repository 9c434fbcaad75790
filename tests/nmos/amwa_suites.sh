#!/bin/sh
# AMWA's NMOS test suites (nmos-testing) against the program, all inside a network namespace of
# their own, so no mDNS, RTP or registration leaves this computer. Not run by CTest (CI has no copy
# of AMWA's tool); set the tool up first with nmos-testing-setup.sh (it makes the namespace "nmos").
# Needs root (namespaces, mounts), avahi-daemon, dbus-daemon.
#
#   tests/nmos/amwa_suites.sh PROGRAM [ROOT]      (ROOT: the set-up's folder, /tmp/nmos-testing)
#   PROGRAM: ndi-lirafon (the generator's senders) or lirafon-check (the probe's receivers)
#   LEGS=2 in the environment: the generator sends two legs (ST 2022-7), to two groups
#
# Inside: a veth pair (nm0 10.201.0.1, nm1 10.201.0.2), avahi-daemon on nm0 with a D-Bus of its
# own (private /run), the program on the built-in runtime sending to a multicast group (so it
# looks for registries by DNS-SD), its control server on 127.0.0.1:18780; then the suites IS-04-01,
# IS-05-01 and IS-05-02, each one's JSON in the current folder, and a count of results per state.
set -eu
program=$(realpath "$1")
# The generator on its control port, or the probe (lirafon-check) as a node of two receivers on
# the same port, receiving on the namespace's network (so it looks for registries by DNS-SD).
case "$program" in
  *lirafon-check) arguments="--monitor --listen 127.0.0.1:18780 --nmos --receivers 2 --interface nm0" ;;
  *) arguments="--control-port 18780" ;;
esac
root=${2:-/tmp/nmos-testing}
destination=239.201.0.1
if [ "${LEGS:-1}" = 2 ]; then destination=239.201.0.1,239.201.1.1; fi
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/lirafon-amwa-XXXXXX)
chmod 700 "$work"
ip netns list | grep -qw nmos || { echo "no namespace nmos: run nmos-testing-setup.sh" >&2; exit 2; }
in_ns() { ip netns exec nmos "$@"; }
in_ns ip link show nm0 >/dev/null 2>&1 || {
  in_ns ip link add nm0 type veth peer name nm1
  in_ns ip addr add 10.201.0.1/24 dev nm0
  in_ns ip addr add 10.201.0.2/24 dev nm1
  in_ns ip link set nm0 up multicast on
  in_ns ip link set nm1 up multicast on
}
cat > "$work/avahi.conf" <<EOF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=nm0
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-workstation=no
publish-hinfo=no
EOF
in_ns unshare --mount --propagation private sh -c "
  mkdir -p /run/dbus /run/avahi-daemon
  mount -t tmpfs tmpfs /run/dbus && mount -t tmpfs tmpfs /run/avahi-daemon
  dbus-daemon --system --fork --nopidfile
  avahi-daemon -f '$work/avahi.conf' --no-drop-root --no-chroot -D
  sleep 1
  exec env LIRAFON_NDI_RUNTIME=builtin QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR='$work' \
    LIRAFON_RTP_PORT=25004 LIRAFON_RTP_DESTINATION=$destination \
    LIRAFON_SAP_DESTINATION=127.0.0.1:29875 LIRAFON_PTP=off LIRAFON_NMOS_ALLOWED_ORIGINS=null \
    '$program' $arguments
" > "$work/program.log" 2>&1 &
holder=$!
cleanup() {
  # The daemons forked away inside the namespace: found by it.
  for pid in $(ip netns pids nmos); do kill "$pid" 2>/dev/null || true; done
  wait "$holder" 2>/dev/null || true
  in_ns ip link del nm0 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
sleep 4
status=0
for suite in "IS-04-01 --host 127.0.0.1 --port 18780 --version v1.3" \
             "IS-05-01 --host 127.0.0.1 --port 18780 --version v1.1" \
             "IS-05-02 --host 127.0.0.1 127.0.0.1 --port 18780 18780 --version v1.3 v1.1"; do
  name=${suite%% *}
  (cd "$root/nmos-testing" && in_ns env PYTHONPATH="$root/pydeps" PATH="$root/bin:$PATH" \
    /usr/bin/python3 nmos-test.py suite $suite --output "$OLDPWD/$name.json" > "$OLDPWD/$name.log" 2>&1) || true
  python3 - "$name.json" <<'EOF' || status=1
import collections, json, sys
results = json.load(open(sys.argv[1]))["results"]
counts = collections.Counter(r["state"] for r in results)
print(sys.argv[1][:-5], dict(counts))
for r in results:
    if r["state"] in ("Fail", "Warning"):
        print(f"  {r['state']}: {r['name']}: {r.get('detail', '')}")
sys.exit(1 if counts.get("Fail") else 0)
EOF
done
echo "the program said:"; grep -v "^lirafon-check: watching" "$work/program.log" | tail -20
exit $status
