#!/bin/sh
# Links two COM ports of a Wine prefix to a pair of pseudo-terminals joined by
# socat, so that a Windows test can talk COM21 <-> COM22 through real COM ports.
# COM23 is a third terminal whose other side leaves the file ptyC.opened once
# COM23 has been opened and ptyC.closed once its last user has closed it (once:
# the link goes away with it).
#   pty_pair.sh start <work folder> <wine prefix>
#   pty_pair.sh stop  <work folder> <wine prefix>
#   pty_pair.sh watch <work folder>          (started by start, in the background)
set -eu
command=$1 dir=$2 prefix=${3:-}
dosdevices=$prefix/dosdevices

stop() {
  for name in holder socat watcher watchsocat; do
    if [ -f "$dir/$name.pid" ]; then
      kill "$(cat "$dir/$name.pid")" 2>/dev/null || true
      rm -f "$dir/$name.pid"
    fi
  done
  rm -f "$dosdevices/com21" "$dosdevices/com22" "$dosdevices/com23" "$dir/ptyA" "$dir/ptyB" "$dir/ptyC" \
    "$dir/ptyC.opened" "$dir/ptyC.closed" "$dir/watchsocat.log"
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
    sh "$0" watch "$dir" </dev/null >"$dir/watch.log" 2>&1 &
    echo $! >"$dir/watcher.pid"
    tries=0
    while [ ! -e "$dir/ptyC" ]; do
      tries=$((tries + 1))
      if [ $tries -gt 200 ]; then echo "socat made no watched pseudo-terminal" >&2; cat "$dir/watch.log" >&2; exit 1; fi
      sleep 0.05
    done
    ln -sfn "$(readlink -f "$dir/ptyC")" "$dosdevices/com23"
    rm -f "$dosdevices/com39"
    ;;
  stop)
    stop
    ;;
  watch)
    # socat waits until the terminal is opened and runs the command that marks it.
    # It keeps the terminal's other side open afterwards (a hang-up would reach the
    # process that made the terminal its controlling one) and reports every read
    # of a terminal whose last user has closed it.
    socat -d -d -u "pty,raw,echo=0,link=$dir/ptyC,wait-slave,ignoreeof" \
      "SYSTEM:touch $dir/ptyC.opened; exec cat >/dev/null" 2>"$dir/watchsocat.log" &
    echo $! >"$dir/watchsocat.pid"
    until grep -q "PTY closed" "$dir/watchsocat.log" 2>/dev/null; do
      kill -0 "$(cat "$dir/watchsocat.pid")" 2>/dev/null || exit 0
      sleep 0.05
    done
    echo closed >"$dir/ptyC.closed"
    ;;
  *)
    echo "usage: $0 start|stop|watch <work folder> [<wine prefix>]" >&2
    exit 2
    ;;
esac
