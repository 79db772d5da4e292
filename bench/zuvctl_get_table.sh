#!/usr/bin/env bash
# zuvctl get-table of a 100,000-row folder as JSON lines: wall time next to
# the service's own GetTable time, in the same run.
#
# 1. table_load builds (or reuses) the store in STORE_DIR and prints the
#    service's cold and warm GetTable of the folder over a raw socket: the
#    baseline.
# 2. A service is started on that store; zuvctl reads the same folder with
#    the same six columns, cold (first read: the table fills) and then warm
#    (--repeat times), output to /dev/null.
#
# Usage: bench/zuvctl_get_table.sh [BIN_DIR] [STORE_DIR] [MESSAGES]
#   BIN_DIR    where zuv_service, zuvctl and table_load are (build/release/bin)
#   STORE_DIR  kept store of table_load (build/bench-store)
#   MESSAGES   rows of the folder (100000)
# Environment: REPEAT (warm reads, 3).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(cd "${1:-build/release/bin}" && pwd)
store_dir=${2:-build/bench-store}
messages=${3:-100000}
repeat=${REPEAT:-3}
mkdir -p "$store_dir"
store_dir=$(cd "$store_dir" && pwd)
folder="Inbox/TableLoadCold${messages}s400"
columns=PR_SUBJECT,PR_SENDER_NAME,PR_SENDER_EMAIL_ADDRESS,PR_IMPORTANCE,PR_MESSAGE_FLAGS,PR_CLIENT_SUBMIT_TIME

echo "== baseline: table_load (service GetTable over a raw socket) =="
"$bin/table_load" --store-dir "$store_dir" --messages "$messages" --rows 0 --clients 1 --seconds 1 \
  --repeat "$repeat" --log-level Error || true

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
home=$(mktemp -d /tmp/zuvctl-bench-XXXXXX)
ports=()
for _ in 1 2 3 4; do ports+=("$(free_port)"); done
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix\\tovanixZUV]\r\n'
  printf '"ZuvPort1"=dword:%08x\r\n"ZuvPort2"=dword:%08x\r\n"ZuvPort3"=dword:%08x\r\n"ZuvBinPort"=dword:%08x\r\n' \
    "${ports[0]}" "${ports[1]}" "${ports[2]}" "${ports[3]}"
  printf '"StorePath"="%s"\r\n"ExAlias"="svc-zuv"\r\n"ExServer"="MAIL01"\r\n' "$store_dir/zuvstore.db"
} >"$home/registry.reg"
cat >"$home/ZUV_NLOG_Config.xml" <<'EOF'
<?xml version="1.0" encoding="utf-8" ?>
<nlog>
  <targets>
    <target name="logfile" xsi:type="File" layout="${date}::${level}::${message}" fileName="${basedir}/logs/ZUV_Service-${machinename}.log" />
  </targets>
  <rules>
    <logger name="*" minlevel="Error" writeTo="logfile" />
  </rules>
</nlog>
EOF
ZUV_HOME="$home" TOVANIX_REGISTRY="$home/registry.reg" "$bin/zuv_service" run >"$home/console.out" 2>&1 &
service=$!
trap 'kill "$service" 2>/dev/null; wait "$service" 2>/dev/null; rm -rf "$home"' EXIT
for _ in $(seq 1 300); do
  if "$bin/zuvctl" --port "${ports[0]}" --timeout 1 ping >/dev/null 2>&1; then break; fi
  sleep 0.1
done

ctl=("$bin/zuvctl" --port "${ports[0]}" --timeout 600 --json)
run() {
  local label=$1
  local start end rows
  start=$(date +%s.%N)
  rows=$("${ctl[@]}" get-table "$folder" --columns "$columns" | wc -l)
  end=$(date +%s.%N)
  awk -v l="$label" -v s="$start" -v e="$end" -v r="$rows" \
    'BEGIN { t = e - s; printf "zuvctl %-5s %d rows in %.3f s, %.0f rows/s\n", l, r, t, r / t }'
}
echo "== zuvctl --json get-table $folder (output to a pipe) =="
run cold
for i in $(seq 1 "$repeat"); do run warm; done
