#!/bin/sh
# Fails when a 32-bit Linux program or library of the build imports a C-library call
# with a 32-bit off_t, ino_t or time_t. Such a readdir returns nothing (EOVERFLOW)
# once an inode number passes 32 bits, and such a time runs out in January 2038.
#   no_legacy_interfaces.sh FILE...
legacy='readdir readdir_r scandir stat fstat lstat fstatat open openat creat lseek fopen freopen
fseeko ftello ftruncate truncate mmap pread pwrite posix_fallocate getdents
time localtime localtime_r gmtime gmtime_r mktime timegm ctime difftime
clock_gettime clock_settime clock_nanosleep gettimeofday settimeofday nanosleep
utime utimes futimes futimens utimensat select pselect ppoll ioctl
pthread_timedjoin_np pthread_cond_timedwait pthread_mutex_timedlock sem_timedwait
sigtimedwait timer_settime timer_gettime timerfd_settime timerfd_gettime'
status=0
checked=0
for file in "$@"; do
  [ -f "$file" ] || continue
  # 32-bit ELF files only: the class byte of the header is 1.
  [ "$(od -An -tx1 -j4 -N1 "$file" | tr -d ' ')" = 01 ] || continue
  checked=$((checked + 1))
  imports=$(nm -D --undefined-only "$file" | awk '{print $2}' | sed 's/@.*//')
  for name in $legacy; do
    if printf '%s\n' "$imports" | grep -qx "$name"; then
      echo "$file imports $name, the 32-bit interface" >&2
      status=1
    fi
  done
done
if [ "$checked" -eq 0 ]; then
  echo "no 32-bit ELF file among: $*" >&2
  exit 1
fi
echo "$checked files checked"
exit $status
