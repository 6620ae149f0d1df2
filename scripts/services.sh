#!/usr/bin/env bash
# Makes sure the servers the tests talk to answer on loopback, starting them if not:
# PostgreSQL (5432, with a test role and database), Redis (6379), and a TLS-only Redis
# (6390) with certificates generated here. Sourced by test.sh: exports the locations.
# Never stops a server it did not start: a port held by anything else ends the script
# with a message naming the port.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
run_dir="$here/build/services"
mkdir -p "$run_dir"

wait_for() {  # wait_for <seconds> <command...>
  local limit=$1; shift
  for _ in $(seq 1 $((limit * 5))); do "$@" >/dev/null 2>&1 && return 0; sleep 0.2; done
  return 1
}
fail() { echo "[services] $*" >&2; exit 1; }
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# redis-cli waits forever for a server that never answers as asked (a plain server
# spoken to in TLS): every probe has a time limit.
probe() { timeout 5 redis-cli -h 127.0.0.1 "$@" 2>/dev/null; }

# PostgreSQL
if ! pg_isready -q -h 127.0.0.1 -p 5432; then
  echo "[services] starting PostgreSQL"
  cluster="$(ls /etc/postgresql 2>/dev/null | sort -V | tail -n 1)"
  if [ -z "$cluster" ]; then
    echo "[services] no PostgreSQL cluster is installed" >&2; exit 1
  fi
  pg_ctlcluster --skip-systemctl-redirect "$cluster" main start
  wait_for 30 pg_isready -q -h 127.0.0.1 -p 5432 ||
    fail "PostgreSQL does not answer on 127.0.0.1:5432 (is the port taken by another server?)"
fi
psql_admin() { psql -h 127.0.0.1 -U postgres -d postgres -tAq -v ON_ERROR_STOP=1 "$@"; }
if ! psql_admin -c "SELECT 1 FROM pg_roles WHERE rolname='ombrix_test'" | grep -q 1; then
  psql_admin -c "CREATE ROLE ombrix_test LOGIN"
fi
if ! psql_admin -c "SELECT 1 FROM pg_database WHERE datname='ombrix_test'" | grep -q 1; then
  psql_admin -c "CREATE DATABASE ombrix_test OWNER ombrix_test"
fi
export OMBRIX_TEST_PG="host=127.0.0.1 port=5432 dbname=ombrix_test user=ombrix_test"

# Redis, plain
if ! probe -p 6379 ping | grep -q PONG; then
  port_open 6379 && fail "127.0.0.1:6379 is taken by a server that does not answer as Redis; free the port"
  echo "[services] starting Redis"
  mkdir -p /var/lib/redis /var/log/redis
  redis-server --daemonize yes --bind 127.0.0.1 -::1 --port 6379 --save "" --appendonly no \
    --dir /var/lib/redis --logfile /var/log/redis/ci.log
  wait_for 15 sh -c 'timeout 5 redis-cli -h 127.0.0.1 -p 6379 ping | grep -q PONG' ||
    fail "Redis did not start on 127.0.0.1:6379 (see /var/log/redis/ci.log)"
fi
export OMBRIX_TEST_REDIS="host:127.0.0.1,port:6379"

# Redis over TLS. One certificate set per machine, shared by every checkout, made when
# first needed and again when it is about to expire; the server started with it keeps its
# pidfile, log and working directory beside it, so any checkout can tell it is this
# script's server, even after the checkout that started it is gone.
tls="${TMPDIR:-/tmp}/ombrix-test-tls"
tls_pidfile="$tls/redis-tls.pid"
certificates_usable() {
  local file
  for file in ca.crt server.crt client.crt other-ca.crt; do
    openssl x509 -checkend 3600 -noout -in "$tls/$file" >/dev/null 2>&1 || return 1
  done
}
tls_answers() { probe -p 6390 --tls --cacert "$tls/ca.crt" ping | grep -q PONG; }
# The pid of the redis-server on 6390 that this script started, from its pidfile (an older
# copy of the script kept it in the checkout's build/services).
own_tls_server() {
  local pidfile pid
  for pidfile in "$tls_pidfile" "$run_dir/redis-tls.pid"; do
    pid="$(cat "$pidfile" 2>/dev/null || true)"
    case "$pid" in ''|*[!0-9]*) continue ;; esac
    if tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null | grep -q "^redis-server .*:6390"; then
      echo "$pid"; return 0
    fi
  done
  return 1
}

if ! { certificates_usable && tls_answers; }; then
  if port_open 6390; then
    # Something holds the port that our CA does not vouch for: replace it only if it is
    # the server this script started (its certificates are older than ours).
    pid="$(own_tls_server)" ||
      fail "127.0.0.1:6390 is taken by a server this script did not start (its certificate is not" \
           "from $tls/ca.crt); stop it or free port 6390, then run again"
    echo "[services] stopping the TLS Redis this script started earlier (pid $pid)"
    kill "$pid"
    wait_for 10 sh -c "! kill -0 $pid" || fail "the TLS Redis (pid $pid) did not stop"
  fi
  if ! certificates_usable; then
    echo "[services] making test certificates in $tls"
    rm -rf "$tls"; mkdir -p "$tls"
    (
      cd "$tls"
      openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=ombrix-test-ca" \
        -keyout ca.key -out ca.crt 2>/dev/null
      openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout server.key -out server.csr 2>/dev/null
      printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' > san.ext
      openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 30 \
        -extfile san.ext -out server.crt 2>/dev/null
      # A second, unrelated CA for the tests that must be refused.
      openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=ombrix-other-ca" \
        -keyout other-ca.key -out other-ca.crt 2>/dev/null
      openssl req -newkey rsa:2048 -nodes -subj "/CN=ombrix-client" -keyout client.key -out client.csr 2>/dev/null
      openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 30 \
        -out client.crt 2>/dev/null
      chmod 644 ./*.key
    )
  fi
  echo "[services] starting Redis with TLS on 6390"
  redis-server --daemonize yes --bind 127.0.0.1 --port 0 --tls-port 6390 \
    --tls-cert-file "$tls/server.crt" --tls-key-file "$tls/server.key" \
    --tls-ca-cert-file "$tls/ca.crt" --tls-auth-clients optional \
    --save "" --appendonly no --dir "$tls" --logfile "$tls/redis-tls.log" \
    --pidfile "$tls_pidfile"
  wait_for 15 tls_answers ||
    fail "Redis with TLS did not start on 127.0.0.1:6390 (see $tls/redis-tls.log)"
fi
export OMBRIX_TEST_REDIS_TLS="host:127.0.0.1,port:6390,ssl:true,ca_cert:$tls/ca.crt"
export OMBRIX_TEST_TLS_DIR="$tls"
echo "[services] PostgreSQL, Redis and Redis TLS answer on loopback"
