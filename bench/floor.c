/* The benchmark's floors: makes a tree's directories, files, symbolic links
 * and hard links under a new directory, as an unpacker must, but with nothing
 * to read.
 *
 *   floor empty LIST DIR   every file left empty: the cost of the inodes
 *   floor write LIST DIR   every file gets its size in bytes, written from
 *                          a buffer already in memory: the cost of the data
 *
 * LIST has one entry a line, parents before children, as bench/run.sh's
 * list_of makes it: type (d, f, l, or h for a hard link), size, link target
 * (for a hard link the path of the file it names), path relative to DIR.
 * Built by bench/run.sh with cc -O2; it has no other use.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char buf[1 << 20];

static void fail(const char *what, const char *path)
{
  fprintf(stderr, "floor: %s %s: %s\n", what, path, strerror(errno));
  exit(1);
}

static void put_data(int fd, long long size, const char *path)
{
  while (size > 0) {
    size_t n = size < (long long)sizeof buf ? (size_t)size : sizeof buf;
    ssize_t w = write(fd, buf, n);
    if (w < 0) fail("write", path);
    size -= w;
  }
}

int main(int argc, char **argv)
{
  if (argc != 4 || (strcmp(argv[1], "empty") != 0 && strcmp(argv[1], "write") != 0)) {
    fprintf(stderr, "usage: floor empty|write LIST DIR\n");
    return 2;
  }
  int with_data = strcmp(argv[1], "write") == 0;
  FILE *list = fopen(argv[2], "r");
  if (!list) fail("open", argv[2]);
  if (mkdir(argv[3], 0777) != 0) fail("mkdir", argv[3]);
  if (chdir(argv[3]) != 0) fail("chdir", argv[3]);

  /* Random-looking bytes, so that no layer can treat the data as special. */
  unsigned long long x = 88172645463325252ULL;
  for (size_t i = 0; i < sizeof buf; i++) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    buf[i] = (char)x;
  }

  char *line = NULL;
  size_t cap = 0;
  ssize_t len;
  while ((len = getline(&line, &cap, list)) > 0) {
    if (line[len - 1] == '\n') line[len - 1] = '\0';
    char *type = strtok(line, "\t");
    char *size = strtok(NULL, "\t");
    char *rest = size ? size + strlen(size) + 1 : NULL;
    /* The target field is empty for all but links, so split by hand. */
    char *tab = rest ? strchr(rest, '\t') : NULL;
    if (!type || !size || !tab) {
      fprintf(stderr, "floor: bad line in %s\n", argv[2]);
      return 1;
    }
    *tab = '\0';
    char *target = rest, *path = tab + 1;
    if (*type == 'd') {
      if (mkdir(path, 0777) != 0) fail("mkdir", path);
    } else if (*type == 'f') {
      int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0) fail("open", path);
      if (with_data) put_data(fd, atoll(size), path);
      if (close(fd) != 0) fail("close", path);
    } else if (*type == 'l') {
      if (symlink(target, path) != 0) fail("symlink", path);
    } else if (*type == 'h') {
      if (link(target, path) != 0) fail("link", path);
    } else {
      fprintf(stderr, "floor: unknown type %s in %s\n", type, argv[2]);
      return 1;
    }
  }
  free(line);
  fclose(list);
  return 0;
}
