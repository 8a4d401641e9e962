// Times one way of copying len bytes at offset off of a file into a new
// file, the ways the unpacker could move a large file's data:
//   copy_file_range   the kernel copies file to file (same file system only)
//   pread             pread into one buffer of bs bytes, then write
//   sendfile          the kernel copies through its own pipe
//   splice            splice through a pipe of bs bytes, in and out
// Usage: copy_methods METHOD SRC OFF LEN DST [BS]; prints the seconds taken.
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <time.h>
#include <unistd.h>

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

static void Fail(const char* what) {
  perror(what);
  exit(1);
}

int main(int argc, char** argv) {
  if (argc < 6) {
    fprintf(stderr, "usage: %s copy_file_range|pread|sendfile|splice SRC OFF LEN DST [BS]\n",
            argv[0]);
    return 2;
  }
  const char* method = argv[1];
  const int in = open(argv[2], O_RDONLY);
  off_t off = atoll(argv[3]);
  size_t left = strtoull(argv[4], NULL, 10);
  const int out = open(argv[5], O_WRONLY | O_CREAT | O_EXCL, 0644);
  const size_t bs = argc > 6 ? strtoull(argv[6], NULL, 10) : 1 << 20;
  if (in < 0 || out < 0) Fail("open");
  const double t0 = Now();
  if (strcmp(method, "copy_file_range") == 0) {
    while (left > 0) {
      const ssize_t r = copy_file_range(in, &off, out, NULL, left, 0);
      if (r <= 0) Fail("copy_file_range");
      left -= r;
    }
  } else if (strcmp(method, "pread") == 0) {
    char* buf = malloc(bs);
    while (left > 0) {
      const ssize_t r = pread(in, buf, left < bs ? left : bs, off);
      if (r <= 0 || write(out, buf, r) != r) Fail("pread");
      off += r;
      left -= r;
    }
  } else if (strcmp(method, "sendfile") == 0) {
    while (left > 0) {
      const ssize_t r = sendfile(out, in, &off, left);
      if (r <= 0) Fail("sendfile");
      left -= r;
    }
  } else if (strcmp(method, "splice") == 0) {
    int p[2];
    if (pipe(p) != 0) Fail("pipe");
    fcntl(p[1], F_SETPIPE_SZ, (int)bs);
    while (left > 0) {
      const ssize_t r = splice(in, &off, p[1], NULL, left < bs ? left : bs, 0);
      if (r <= 0) Fail("splice");
      for (ssize_t done = 0; done < r;) {
        const ssize_t w = splice(p[0], NULL, out, NULL, r - done, 0);
        if (w <= 0) Fail("splice");
        done += w;
      }
      left -= r;
    }
  } else {
    fprintf(stderr, "unknown method %s\n", method);
    return 2;
  }
  if (close(out) != 0) Fail("close");
  printf("%.4f\n", Now() - t0);
  return 0;
}
