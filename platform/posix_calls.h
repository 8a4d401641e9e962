// The system calls behind the POSIX backend's reads and copies, called
// through this table so that the tests can make them fail, run short or be
// refused, and reach every fallback. The program never changes them.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

struct PosixCalls {
  ssize_t (*read)(int fd, void* buf, size_t count);
  ssize_t (*pread)(int fd, void* buf, size_t count, off_t offset);
  ssize_t (*write)(int fd, const void* buf, size_t count);
  ssize_t (*splice)(int in, loff_t* inOffset, int out, loff_t* outOffset, size_t count,
                    unsigned flags);
  int (*fstat)(int fd, struct stat* st);
};

extern PosixCalls posixCalls;

// The calls the system provides.
PosixCalls SystemCalls();

// Forgets, for the next run in the same process, that the system refused
// in-kernel copies, and closes the pipe they go through.
void ForgetCopyRefusal();
