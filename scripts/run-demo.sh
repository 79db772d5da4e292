#!/usr/bin/env bash
# Installs what is missing, builds the release preset, creates a demo
# organisation and runs the service in this console on the default ports
# (JSON 20400, 20410, 20420; binary 20430). Ctrl-C stops it. Once the
# service answers, it prints three commands to try from a second shell: a
# folder read with zuvctl, a zuvctl watch, and a zuvadmin delivery that the
# watch shows.
#
# The demo lives in ZUV_HOME (default build/demo-home):
#   data/zuvstore.db   message store: servers EXCH1 and EXCH2, the service
#                      mailbox svc-zuv and the users alice, bob and carol with
#                      a little mail each (built once; ZUV_DEMO_RESET=1 rebuilds)
#   ldap/              a private slapd with the sample directory, started on a
#                      free loopback port and stopped when the service ends
#   registry.reg       the service's settings (ports, service account, store,
#                      directory); TOVANIX_REGISTRY points at it
#   logs/              the service's log file
# Environment: ZUV_HOME, ZUV_DEMO_RESET, ZUV_LDAP_USERS (generated directory
# users besides the sample ones, default 100).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh

cmake --preset release
cmake --build --preset release -j "$(nproc 2>/dev/null || echo 2)"
bin="$root/build/release/bin"

export ZUV_HOME="${ZUV_HOME:-$root/build/demo-home}"
mkdir -p "$ZUV_HOME/data"
ZUV_HOME=$(cd "$ZUV_HOME" && pwd)
store="$ZUV_HOME/data/zuvstore.db"
org="/o=Example Org/ou=Admin Group (EXAMPLE1)/cn=Recipients/cn="

# ---- Message store ----

# Writes the demo messages into $1 (RFC 5322, CRLF not required).
write_mail() {
  local dir=$1
  mkdir -p "$dir"
  cat >"$dir/welcome.eml" <<'EOF'
From: IT Operations <it-ops@example.com>
To: ZUV Service <svc-zuv@example.com>
Subject: Service account ready
Date: Mon, 03 Mar 2025 08:15:00 +0100
Message-ID: <welcome-0001@example.com>
MIME-Version: 1.0
Content-Type: text/plain; charset=utf-8

The service account svc-zuv is set up for the ZUV service.
Its mailbox lives on EXCH1.

-- IT Operations
EOF
  cat >"$dir/quarterly.eml" <<'EOF'
From: Alice Smith <alice@example.com>
To: Bob Jones <bob@example.com>, Carol White <carol@example.com>
Cc: ZUV Service <svc-zuv@example.com>
Subject: Q1 planning meeting
Date: Tue, 04 Mar 2025 10:02:11 +0100
Message-ID: <q1-planning-0002@example.com>
MIME-Version: 1.0
Content-Type: multipart/alternative; boundary="alt-q1"

--alt-q1
Content-Type: text/plain; charset=utf-8

Hi both,

let's meet on Thursday at 14:00 in room 3.12 to go through the Q1 plan.

Alice
--alt-q1
Content-Type: text/html; charset=utf-8

<html><body><p>Hi both,</p>
<p>let's meet on <b>Thursday at 14:00</b> in room 3.12 to go through the Q1 plan.</p>
<p>Alice</p></body></html>
--alt-q1--
EOF
  cat >"$dir/invoice.eml" <<'EOF'
From: Billing <billing@supplier.example.net>
To: Alice Smith <alice@example.com>
Subject: Invoice 2025-0117
Date: Wed, 05 Mar 2025 16:40:09 +0000
Message-ID: <inv-2025-0117@supplier.example.net>
MIME-Version: 1.0
Content-Type: multipart/mixed; boundary="mixed-inv"

--mixed-inv
Content-Type: text/plain; charset=utf-8

Dear Ms Smith,

please find invoice 2025-0117 attached as a CSV file.

Kind regards,
Billing
--mixed-inv
Content-Type: text/csv; name="invoice-2025-0117.csv"
Content-Disposition: attachment; filename="invoice-2025-0117.csv"
Content-Transfer-Encoding: base64

aXRlbSxxdWFudGl0eSxwcmljZQpQYXBlciBBNCw1LDQuOTkKVG9uZXIsMSw4OS4wMAo=
--mixed-inv--
EOF
  cat >"$dir/greetings.eml" <<'EOF'
From: =?UTF-8?Q?J=C3=BCrgen_M=C3=BCller?= <juergen@example.de>
To: Carol White <carol@example.com>
Subject: =?UTF-8?B?R3LDvMOfZSBhdXMgTcO8bmNoZW4=?=
Date: Thu, 06 Mar 2025 07:55:30 +0100
Message-ID: <gruesse-0004@example.de>
MIME-Version: 1.0
Content-Type: text/plain; charset=iso-8859-1
Content-Transfer-Encoding: quoted-printable

Hallo Carol,

viele Gr=FC=DFe aus M=FCnchen =96 bis n=E4chste Woche!

J=FCrgen
EOF
}

build_store() {
  local mail="$ZUV_HOME/demo-mail"
  rm -f "$store" "$store-wal" "$store-shm"
  write_mail "$mail"
  za() { "$bin/zuvadmin" --store "$store" "$@"; }
  za init >/dev/null
  za add-server EXCH1
  za add-server EXCH2
  za add-mailbox svc-zuv --display-name "ZUV Service" --smtp svc-zuv@example.com \
    --legacy-dn "${org}svc-zuv" --server EXCH1 >/dev/null
  za add-mailbox alice --display-name "Alice Smith" --smtp alice@example.com --smtp a.smith@example.com \
    --legacy-dn "${org}alice" --server EXCH1 >/dev/null
  za add-mailbox bob --display-name "Bob Jones" --smtp bob@example.com \
    --legacy-dn "${org}bob" --server EXCH1 >/dev/null
  za add-mailbox carol --display-name "Carol White" --smtp carol@example.com \
    --legacy-dn "${org}carol" --server EXCH2 >/dev/null
  za deliver svc-zuv --folder Inbox "$mail/welcome.eml" "$mail/quarterly.eml" >/dev/null
  za deliver alice --folder "Sent Items" "$mail/quarterly.eml" >/dev/null
  za deliver alice --folder Inbox "$mail/invoice.eml" >/dev/null
  za create-folder alice "Inbox/Projects" >/dev/null
  za deliver alice --folder "Inbox/Projects" "$mail/quarterly.eml" >/dev/null
  za deliver bob --folder Inbox "$mail/quarterly.eml" "$mail/invoice.eml" >/dev/null
  za deliver carol --folder Inbox "$mail/quarterly.eml" "$mail/greetings.eml" >/dev/null
  za add-device alice "MobileSync-iPhone-DEMO0001" >/dev/null
}

if [ ! -f "$store" ] || [ "${ZUV_DEMO_RESET:-0}" = 1 ]; then
  echo "run-demo: creating the demo store $store"
  build_store
fi

# ---- Directory ----

# slapd ends with this process, which becomes the service below.
ldap_uri=$(ZUV_LDAP_USERS="${ZUV_LDAP_USERS:-100}" ZUV_LDAP_OWNER_PID=$$ \
  scripts/ldap-test-server.sh start "$ZUV_HOME/ldap")
echo "run-demo: directory $ldap_uri"

# ---- Registry ----

export TOVANIX_REGISTRY="$ZUV_HOME/registry.reg"
cat >"$TOVANIX_REGISTRY" <<EOF
Windows Registry Editor Version 5.00

; Written by scripts/run-demo.sh.
[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix\\tovanixZUV]
"ZuvPort1"=dword:00004fb0
"ZuvPort2"=dword:00004fba
"ZuvPort3"=dword:00004fc4
"ZuvBinPort"=dword:00004fce
"ExAlias"="svc-zuv"
"ExServer"="EXCH1"
"StorePath"="$store"
"LdapUri"="$ldap_uri"
"LdapBindDN"="CN=svc-zuv,CN=Users,DC=example,DC=com"
"LdapBindPassword"="svcpw"
EOF

echo "run-demo: ZUV_HOME=$ZUV_HOME TOVANIX_REGISTRY=$TOVANIX_REGISTRY"
echo "run-demo: JSON ports 20400 20410 20420, binary port 20430; logs in $ZUV_HOME/logs; stop with Ctrl-C"

# ---- Commands to try ----

# Once the service answers, show three commands for a second shell: a folder
# read, a watch of the same folder, and a delivery that the watch then shows.
# The waiter gives up after a minute or when the service ends.
write_mail "$ZUV_HOME/demo-mail"
(
  for _ in $(seq 1 600); do
    if "$bin/zuvctl" --timeout 1 ping >/dev/null 2>&1; then
      cat <<EOF

run-demo: the service is up. From a second shell, try:
  1. read the service mailbox's Inbox:
     $bin/zuvctl get-table Inbox --columns PR_SUBJECT,PR_SENDER_NAME,PR_MESSAGE_DELIVERY_TIME
  2. watch the Inbox (leave it running; Ctrl-C ends it):
     $bin/zuvctl watch Inbox --columns PR_SUBJECT,PR_SENDER_NAME
  3. from a third shell, deliver a message; the watch prints it as "added":
     $bin/zuvadmin --store $store deliver svc-zuv --folder Inbox $ZUV_HOME/demo-mail/greetings.eml

EOF
      exit 0
    fi
    kill -0 $$ 2>/dev/null || exit 0
    sleep 0.1
  done
) &
exec "$bin/zuv_service" run
