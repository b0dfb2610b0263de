// The other system's process calls the suite makes: the kernel's process
// table and maximum process count through sysctl, a process's name through
// proc_name, and (declared by the C library's own headers) getuid and uname.
//
// getuid and uname are defined by this library in place of the C library's
// for the whole program, so that the user id and the kernel release are the
// emulated ones (HXProcess.h): getuid answers the own user id, uname the real
// system with the emulated release.
//
// The table's records are this platform's own layout; only the fields the
// suite reads carry meaning, the rest is zero.
#pragma once

#include "platform/sys/HXProcess.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <sys/utsname.h>
#include <unistd.h>

// Top-level and kernel names of sysctl.
inline constexpr int CTL_KERN = 1;
inline constexpr int KERN_MAXPROC = 6;  // int: the maximum process count
inline constexpr int KERN_PROC = 14;    // the process table, by a sub-name:
inline constexpr int KERN_PROC_ALL = 0; //   every process (3 name elements)

inline constexpr std::size_t MAXCOMLEN = hx::sys::kProcessNameLength;

// Process states (p_stat).
inline constexpr char SIDL = hx::sys::kProcessIdle;
inline constexpr char SRUN = hx::sys::kProcessRunnable;
inline constexpr char SSLEEP = hx::sys::kProcessSleeping;
inline constexpr char SSTOP = hx::sys::kProcessStopped;
inline constexpr char SZOMB = hx::sys::kProcessZombie;

struct extern_proc {
    pid_t p_pid;
    char p_stat;
    char p_comm[MAXCOMLEN + 1]; // NUL-terminated
    std::uint8_t p_reserved[274];
};
static_assert(sizeof(extern_proc) == 296);

struct eproc {
    struct {
        uid_t cr_uid; // effective user id
        std::uint8_t cr_reserved[76];
    } e_ucred;
    std::uint8_t e_reserved[272];
};
static_assert(sizeof(eproc) == 352);

struct kinfo_proc {
    extern_proc kp_proc;
    eproc kp_eproc;
};
// The suite walks the table in records of this size.
static_assert(sizeof(kinfo_proc) == 648);

// Reads a kernel value. {CTL_KERN, KERN_PROC, KERN_PROC_ALL}: with oldp null,
// *oldlenp gets the table's size with room for processes that start before
// the read; with a buffer, the records that fit are copied, *oldlenp gets
// their byte count, and a buffer too small for the whole table fails with
// ENOMEM. {CTL_KERN, KERN_MAXPROC}: an int. Values cannot be set (EPERM);
// unknown names fail with ENOENT, malformed calls with EINVAL. 0 or -1 with
// errno, as the system's call.
extern "C" int sysctl(int* name, unsigned namelen, void* oldp, std::size_t* oldlenp, void* newp,
                      std::size_t newlen);

// Copies the name of process pid into buffer (at most buffersize - 1 bytes and
// a NUL) and answers its length; 0 when the process does not exist or the
// buffer is null or empty.
extern "C" int proc_name(int pid, void* buffer, std::uint32_t buffersize);
