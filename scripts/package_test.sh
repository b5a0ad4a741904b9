#!/usr/bin/env bash
# The package's round trip on this machine, as root: build it, inspect it
# (contents, lintian), install it, verify the unit, run the installed agent's
# test mode with the template's log and custom checks, reinstall over an
# edited configuration, remove and purge it, and check what is left.
# Changes the machine (the package is installed and purged): for CI, whose
# machine is fresh each run.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "package test: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "must run as root"
if dpkg-query -W zerpal-agent >/dev/null 2>&1; then
  fail "zerpal-agent is already installed here; not touching it"
fi

deb=$(ZP_SKIP_SETUP=1 bash scripts/package.sh)
echo "package: $deb"

# Contents: every installed path with its mode.
contents=$(dpkg-deb --contents "$deb")
echo "$contents"
for want in "-rwxr-xr-x .* ./usr/bin/quillmar$" "-rwxr-xr-x .* ./usr/bin/zpsupervise$" "-rw-r--r-- .* ./etc/zerpal/ZPAgent.conf$" \
            "-rw-r--r-- .* ./lib/systemd/system/zerpal-agent.service$" \
            "-rw-r--r-- .* ./usr/share/man/man8/quillmar.8.gz$" "-rw-r--r-- .* ./usr/share/doc/zerpal-agent/copyright$" \
            "drwx------ .* ./var/lib/zerpal/$" "drwx------ .* ./var/log/zerpal/$"; do
  grep -q -- "$want" <<<"$contents" || fail "missing in the package: $want"
done
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" = /etc/zerpal/ZPAgent.conf ] || fail "conffiles"
dpkg-deb -f "$deb" Depends | grep -q libgcrypt20 || fail "Depends lacks the linked libraries"
# Errors fail; the two owner-only directories are the expected warnings.
lintian --fail-on error --tag-display-limit 0 "$deb"

# Whatever happens, the machine is left without the package.
before=$(mktemp)
conf=$(mktemp -d)
cleanup() {
  rm -rf "$before" "$conf"
  if dpkg-query -W zerpal-agent >/dev/null 2>&1; then dpkg -P zerpal-agent >/dev/null || true; fi
}
trap cleanup EXIT
find /etc /lib/systemd /usr/bin /usr/share/man/man8 /usr/share/doc /var/lib /var/log -xdev 2>/dev/null | sort >"$before"

apt-get install -y -qq "$deb" >/dev/null
[ "$(dpkg-query -W -f='${Status}' zerpal-agent)" = "install ok installed" ] || fail "not installed"
systemd-analyze verify --man=no /lib/systemd/system/zerpal-agent.service || fail "the unit does not verify"
grep -qx "ExecStart=/usr/bin/zpsupervise /usr/bin/quillmar" /lib/systemd/system/zerpal-agent.service ||
  fail "the service does not run the supervisor"
[ "$(stat -c %a /var/lib/zerpal) $(stat -c %a /var/log/zerpal)" = "700 700" ] || fail "directory modes"

# The template's log file check and custom check, uncommented, run by the
# installed agent in its test mode (configuration in a scratch directory).
mkdir "$conf/logs"
echo "started" >"$conf/logs/app.log"
sed -e "s|^#log_chk_conf = /etc/zerpal/|log_chk_conf = $conf/|" \
    -e "s|^#custom_chk_conf = /etc/zerpal/|custom_chk_conf = $conf/|" \
    -e "s|^#allow_autoupgrade = false|allow_autoupgrade = true|" /etc/zerpal/ZPAgent.conf >"$conf/ZPAgent.conf"
echo "$conf/logs/*.log" >"$conf/logchecks.conf"
sed -n 's/^#   \([a-z[].*\)/\1/p' /etc/zerpal/ZPAgent.conf | sed -n '/^\[crash_reports\]/,$p' >"$conf/custom.conf"
chmod 600 "$conf/custom.conf"
export ZERPAL_CONF_DIR=$conf ZERPAL_STATE_DIR=$conf/state ZERPAL_RUN_DIR=$conf/run
scan=$(quillmar --scan -l 1 2>"$conf/log")
echo "$scan" | sed -n '/^custom /,$p'
grep -q "^  - crash_reports  \"crash_reports\"  type 0$" <<<"$scan" || fail "--scan lacks the custom check"
grep -q "^ *- app.log  \"app.log\"  type 9$" <<<"$scan" || fail "--scan lacks the log file check"
grep -q "Config: allow_autoupgrade is off: the package manager upgrades this agent" "$conf/log" ||
  fail "the packaged agent does not lock self-upgrade"
quillmar --check custom/crash_reports | grep -q "^status: ok$" || fail "--check of the custom check"
quillmar --check "log//$conf/logs/app.log" | grep -q "^status: ok$" || fail "--check of the log file check"
unset ZERPAL_CONF_DIR ZERPAL_STATE_DIR ZERPAL_RUN_DIR

# Under systemd the service starts and stays up (no server answers: it keeps
# trying to register).
if [ -d /run/systemd/system ]; then
  printf 'server_list = 127.0.0.1:9\ndomain = test\n' >>/etc/zerpal/ZPAgent.conf
  systemctl start zerpal-agent.service
  sleep 3
  systemctl is-active --quiet zerpal-agent.service || fail "the service did not stay up"
  systemctl stop zerpal-agent.service
else
  echo "systemd is not PID 1 here: the service is not started"
fi

# An upgrade (here the same package again) keeps the administrator's edits.
echo "# edited by the administrator" >>/etc/zerpal/ZPAgent.conf
dpkg -i "$deb" >/dev/null
grep -q "^# edited by the administrator$" /etc/zerpal/ZPAgent.conf || fail "the edit was lost"

# What the agent writes at run time goes with the purge.
echo "x" >/var/lib/zerpal/ZPAgent.variables
echo "x" >/var/log/zerpal/agent.log

dpkg -r zerpal-agent >/dev/null
[ ! -e /usr/bin/quillmar ] || fail "quillmar left after remove"
[ -f /etc/zerpal/ZPAgent.conf ] || fail "remove took the configuration"
dpkg -P zerpal-agent >/dev/null
after=$(find /etc /lib/systemd /usr/bin /usr/share/man/man8 /usr/share/doc /var/lib /var/log -xdev 2>/dev/null | sort)
left=$(comm -13 "$before" <(echo "$after") | grep -v '^/var/lib/dpkg\|^/var/log/\(dpkg\|apt\|alternatives\)\|^/var/cache' || true)
[ -z "$left" ] || fail "left after purge: $left"
[ ! -e /run/zerpal ] || fail "/run/zerpal left after purge"
echo "package test: passed"
