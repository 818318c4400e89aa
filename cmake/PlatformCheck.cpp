// Built with every configuration: fails the build when the project-wide
// _FILE_OFFSET_BITS=64 and _TIME_BITS=64 do not reach the compiler. Without
// them 32-bit glibc uses 32-bit off_t, ino_t and time_t: open() and stat()
// fail with EOVERFLOW on files of 2 GiB and more or dated after January
// 2038, readdir() on entries whose inode number or offset needs 64 bits.
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#if !defined(_FILE_OFFSET_BITS) || _FILE_OFFSET_BITS != 64
#error "_FILE_OFFSET_BITS=64 must be defined for every translation unit"
#endif
#if !defined(_TIME_BITS) || _TIME_BITS != 64
#error "_TIME_BITS=64 must be defined for every translation unit"
#endif

static_assert(sizeof(off_t) == 8, "64-bit file offsets");
static_assert(sizeof(ino_t) == 8, "64-bit inode numbers");
static_assert(sizeof(decltype(stat::st_size)) == 8, "64-bit file sizes");
static_assert(sizeof(time_t) == 8, "64-bit times");
static_assert(sizeof(long long) == 8, "TAG_INT64 values are long long");
