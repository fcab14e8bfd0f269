#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for the records tests and the load script, on a unix socket in
# its own folder and no TCP port:
#   pg_cluster.sh init DIR     make the cluster (exit 77 with the reason when it cannot)
#   pg_cluster.sh start DIR    start it (77 when it cannot)
#   pg_cluster.sh stop DIR     stop it cleanly
#   pg_cluster.sh crash DIR    stop it hard, as a crash or a pulled cable would
#   pg_cluster.sh url DIR      the URL to reach it
# The server refuses to run as root, as CI runs: there it runs as the user nobody.
set -euo pipefail
bin="${LUMO_PG_BIN:-/usr/lib/postgresql/15/bin}"
cmd="${1:?command}"
dir="${2:?folder}"

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u nobody -- "$@"
  else
    "$@"
  fi
}

case "$cmd" in
  init)
    if [ ! -x "$bin/initdb" ]; then
      echo "no PostgreSQL server: $bin/initdb is missing (scripts/install-deps.sh installs postgresql-15)"
      exit 77
    fi
    mkdir -p "$dir"
    chmod 700 "$dir"
    [ "$(id -u)" -ne 0 ] || chown nobody "$dir"
    if ! as_owner "$bin/initdb" -D "$dir/data" -U lumo --auth=trust -E UTF8 --no-sync \
         >"$dir/initdb.log" 2>&1; then
      echo "cannot make a PostgreSQL cluster: $(tail -n 1 "$dir/initdb.log")"
      exit 77
    fi
    ;;
  start)
    # fsync off: a test cluster that is thrown away need not survive a power cut.
    if ! as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
         -o "-k $dir -c listen_addresses= -c fsync=off -c max_connections=40" start >/dev/null; then
      echo "cannot start the PostgreSQL server: $(tail -n 2 "$dir/server.log" | tr '\n' ' ')"
      exit 77
    fi
    ;;
  stop) as_owner "$bin/pg_ctl" -D "$dir/data" -w -m fast stop >/dev/null ;;
  crash) as_owner "$bin/pg_ctl" -D "$dir/data" -w -m immediate stop >/dev/null ;;
  url) echo "postgresql://lumo@/postgres?host=$dir" ;;
  *) sed -n '2,9p' "$0" >&2; exit 2 ;;
esac
