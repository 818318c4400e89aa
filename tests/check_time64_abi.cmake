# Fails when a binary calls the 32-bit file-offset or 32-bit time variant of
# a C library function: code of it was compiled without _FILE_OFFSET_BITS=64
# and _TIME_BITS=64. Only meaningful for 32-bit glibc targets, where those
# definitions rename these functions (open to open64, stat to
# __stat64_time64, clock_gettime to __clock_gettime64, ...).
#
#   cmake -DNM=<target nm> -DFILES=<file>|<file>... -P check_time64_abi.cmake
cmake_minimum_required(VERSION 3.25)
set(renamed
  adjtime aio_suspend alphasort clock_getres clock_gettime clock_nanosleep clock_settime creat ctime ctime_r
  difftime fallocate fcntl fgetpos fopen freopen fseeko fsetpos fstat fstatat fstatfs fstatvfs ftello ftruncate
  ftw futimens futimes getitimer getrlimit getrusage getsockopt gettimeofday glob globfree gmtime gmtime_r ioctl
  localtime localtime_r lockf lseek lstat lutimes mkostemp mkostemps mkstemp mktime mmap mq_timedreceive
  nanosleep nftw open openat posix_fadvise posix_fallocate ppoll pread preadv prlimit pselect
  pthread_clockjoin_np pthread_cond_clockwait pthread_cond_timedwait pthread_mutex_clocklock
  pthread_mutex_timedlock pthread_rwlock_timedrdlock pthread_rwlock_timedwrlock pthread_timedjoin_np pwrite
  pwritev readdir readdir_r recvmmsg recvmsg scandir sched_rr_get_interval select sem_clockwait sem_timedwait
  sendfile sendmsg setitimer setrlimit setsockopt settimeofday sigtimedwait stat statfs statvfs time timegm
  timer_gettime timer_settime timerfd_gettime timerfd_settime tmpfile truncate utime utimensat utimes wait3 wait4)

string(REPLACE "|" ";" files "${FILES}")
set(failures "")
foreach(file IN LISTS files)
  execute_process(COMMAND ${NM} -D --undefined-only ${file} OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${file}")
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
  set(found "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^ *[A-Za-z] +([^@ ]+).*$" "\\1" name "${line}")
    if(name IN_LIST renamed)
      list(APPEND found ${name})
    endif()
  endforeach()
  if(found)
    list(JOIN found " " found)
    string(APPEND failures "\n  ${file}: ${found}")
  endif()
endforeach()
list(LENGTH files count)
if(failures)
  message(FATAL_ERROR "32-bit offset or time functions called (built without _FILE_OFFSET_BITS=64 "
                      "_TIME_BITS=64?):${failures}")
endif()
message(STATUS "${count} binaries use 64-bit offsets and times only")
