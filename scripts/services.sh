#!/usr/bin/env bash
# Makes sure the servers the tests talk to answer on loopback, starting them if not:
# PostgreSQL (5432, with a test role and database), Redis (6379), and a TLS-only Redis
# (6390) with certificates generated here. Sourced by test.sh: exports the locations.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
run_dir="$here/build/services"
mkdir -p "$run_dir"

wait_for() {  # wait_for <seconds> <command...>
  local limit=$1; shift
  for _ in $(seq 1 $((limit * 5))); do "$@" >/dev/null 2>&1 && return 0; sleep 0.2; done
  return 1
}

# PostgreSQL
if ! pg_isready -q -h 127.0.0.1 -p 5432; then
  echo "[services] starting PostgreSQL"
  cluster="$(ls /etc/postgresql 2>/dev/null | sort -V | tail -n 1)"
  if [ -z "$cluster" ]; then
    echo "[services] no PostgreSQL cluster is installed" >&2; exit 1
  fi
  pg_ctlcluster --skip-systemctl-redirect "$cluster" main start
  wait_for 30 pg_isready -q -h 127.0.0.1 -p 5432
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
if ! redis-cli -h 127.0.0.1 -p 6379 ping 2>/dev/null | grep -q PONG; then
  echo "[services] starting Redis"
  mkdir -p /var/lib/redis /var/log/redis
  redis-server --daemonize yes --bind 127.0.0.1 -::1 --port 6379 --save "" --appendonly no \
    --dir /var/lib/redis --logfile /var/log/redis/ci.log
  wait_for 15 sh -c 'redis-cli -h 127.0.0.1 -p 6379 ping | grep -q PONG'
fi
export OMBRIX_TEST_REDIS="host:127.0.0.1,port:6379"

# Redis over TLS, with a CA and a server certificate made for this run
# One certificate set per machine, shared by every checkout, made when first needed.
tls="${TMPDIR:-/tmp}/ombrix-test-tls"
if ! redis-cli -h 127.0.0.1 -p 6390 --tls --cacert "$tls/ca.crt" ping 2>/dev/null | grep -q PONG; then
  echo "[services] starting Redis with TLS on 6390"
  # A server left by another checkout has certificates we do not hold: replace it.
  if redis-cli -h 127.0.0.1 -p 6390 --tls --insecure ping 2>/dev/null | grep -q PONG; then
    redis-cli -h 127.0.0.1 -p 6390 --tls --insecure shutdown nosave >/dev/null 2>&1 || true
    wait_for 10 sh -c '! redis-cli -h 127.0.0.1 -p 6390 --tls --insecure ping 2>/dev/null | grep -q PONG'
  fi
  if [ ! -s "$tls/client.crt" ]; then
  rm -rf "$tls"; mkdir -p "$tls"
  (
    cd "$tls"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=ombrix-test-ca" \
      -keyout ca.key -out ca.crt 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout server.key -out server.csr 2>/dev/null
    printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' > san.ext
    openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 \
      -extfile san.ext -out server.crt 2>/dev/null
    # A second, unrelated CA for the tests that must be refused.
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=ombrix-other-ca" \
      -keyout other-ca.key -out other-ca.crt 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -subj "/CN=ombrix-client" -keyout client.key -out client.csr 2>/dev/null
    openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 \
      -out client.crt 2>/dev/null
    chmod 644 ./*.key
  )
  fi
  redis-server --daemonize yes --bind 127.0.0.1 --port 0 --tls-port 6390 \
    --tls-cert-file "$tls/server.crt" --tls-key-file "$tls/server.key" \
    --tls-ca-cert-file "$tls/ca.crt" --tls-auth-clients optional \
    --save "" --appendonly no --dir "$run_dir" --logfile "$run_dir/redis-tls.log" \
    --pidfile "$run_dir/redis-tls.pid"
  wait_for 15 sh -c "redis-cli -h 127.0.0.1 -p 6390 --tls --cacert '$tls/ca.crt' ping | grep -q PONG"
fi
export OMBRIX_TEST_REDIS_TLS="host:127.0.0.1,port:6390,ssl:true,ca_cert:$tls/ca.crt"
export OMBRIX_TEST_TLS_DIR="$tls"
echo "[services] PostgreSQL, Redis and Redis TLS answer on loopback"
