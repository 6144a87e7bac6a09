#!/bin/sh
# Links two COM ports of a Wine prefix to a pair of pseudo-terminals joined by
# socat, so that a Windows test can talk COM21 <-> COM22 through real COM ports.
#   pty_pair.sh start <work folder> <wine prefix>
#   pty_pair.sh stop  <work folder> <wine prefix>
set -eu
command=$1 dir=$2 prefix=$3
dosdevices=$prefix/dosdevices

stop() {
  for name in holder socat; do
    if [ -f "$dir/$name.pid" ]; then
      kill "$(cat "$dir/$name.pid")" 2>/dev/null || true
      rm -f "$dir/$name.pid"
    fi
  done
  rm -f "$dosdevices/com21" "$dosdevices/com22" "$dir/ptyA" "$dir/ptyB"
}

case $command in
  start)
    stop
    mkdir -p "$dir"
    # Background processes must not hold ctest's output pipes open.
    socat "pty,raw,echo=0,link=$dir/ptyA" "pty,raw,echo=0,link=$dir/ptyB" </dev/null >"$dir/socat.log" 2>&1 &
    echo $! >"$dir/socat.pid"
    tries=0
    while [ ! -e "$dir/ptyA" ] || [ ! -e "$dir/ptyB" ]; do
      tries=$((tries + 1))
      if [ $tries -gt 200 ]; then echo "socat made no pseudo-terminals" >&2; cat "$dir/socat.log" >&2; exit 1; fi
      sleep 0.05
    done
    # socat ends when a terminal's last user closes it; this holder keeps both open
    # while the tests open and close their ports. It never reads.
    sh -c 'exec 3<>"$1" 4<>"$2"; exec sleep 100000' holder "$dir/ptyA" "$dir/ptyB" </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/holder.pid"
    mkdir -p "$dosdevices"
    ln -sfn "$(readlink -f "$dir/ptyA")" "$dosdevices/com21"
    ln -sfn "$(readlink -f "$dir/ptyB")" "$dosdevices/com22"
    rm -f "$dosdevices/com39"
    ;;
  stop)
    stop
    ;;
  *)
    echo "usage: $0 start|stop <work folder> <wine prefix>" >&2
    exit 2
    ;;
esac
