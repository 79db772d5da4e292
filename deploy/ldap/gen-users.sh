#!/bin/sh
# gen-users.sh: writes N complete mailbox users as LDIF to stdout, for large
# sample directories. Users are CN=bulkuserNNNNN,CN=Generated,DC=example,DC=com
# (N from 1, five digits or more); odd N live on DB2/EXCH2, even N on DB1/EXCH1.
# Usage: gen-users.sh N
set -eu
n=${1:?usage: gen-users.sh N}
case $n in *[!0-9]*) echo "gen-users.sh: N must be a number" >&2; exit 2 ;; esac

exec awk -v n="$n" \
  -v base="DC=example,DC=com" \
  -v dbs="CN=Databases,CN=Example Org,CN=Services,CN=Configuration,DC=example,DC=com" \
  -v leg="/o=Example Org/ou=Admin Group (EXAMPLE1)" \
  -v cat="CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com" 'BEGIN {
  for (i = 1; i <= n; i++) {
    u = sprintf("bulkuser%05d", i); s = (i % 2) ? 2 : 1
    dn = "CN=" u ",CN=Generated," base
    printf "dn: %s\nobjectClass: user\ncn: %s\nname: %s\ndistinguishedName: %s\n", dn, u, u, dn
    printf "sn: User%05d\ngivenName: Bulk\nmail: %s@example.com\nmailNickname: %s\n", i, u, u
    printf "proxyAddresses: SMTP:%s@example.com\nhomeMDB: CN=DB%d,%s\n", u, s, dbs
    printf "msExchHomeServerName: %s/cn=Configuration/cn=Servers/cn=EXCH%d\n", leg, s
    printf "legacyExchangeDN: %s/cn=Recipients/cn=%s\nuserAccountControl: 512\n", leg, u
    printf "objectCategory: %s\n\n", cat
  }
}'
