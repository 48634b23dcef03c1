/* Fault injection for build tests, loaded with LD_PRELOAD into a child interpreter.
 *
 * Only calls on the files a build writes are touched: descriptors opened on a path ending
 * in ".klvx.tmp", and renames of such a path (with KFAULT_UNNAMED set, unnamed files
 * opened with O_TMPFILE too: a writer's scratch files). Everything else passes straight
 * through, so the interpreter itself runs normally.
 *
 *   KFAULT_CALL    open | write | fsync | rename | pread: the kind of call to fail
 *   KFAULT_NTH     1-based number of that call (among tracked calls) that fails first
 *   KFAULT_TIMES   how many calls in a row fail (default 1)
 *   KFAULT_ERRNO   errno of the failure; 0 makes a write report zero bytes written
 *   KFAULT_MAX     caps every tracked write at this many bytes (partial writes)
 *   KFAULT_LOG     file that gets one line per tracked call: "write <bytes asked>", ...
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#define MAX_FDS 1024
static char tracked[MAX_FDS];
static long counts[5];

static int kind_of(const char *name) {
  static const char *kinds[5] = {"open", "write", "fsync", "rename", "pread"};
  for (int i = 0; i < 5; ++i)
    if (strcmp(name, kinds[i]) == 0) return i;
  return -1;
}

static long env_long(const char *name, long fallback) {
  const char *v = getenv(name);
  return v ? strtol(v, NULL, 10) : fallback;
}

static void log_call(const char *what, long long n) {
  const char *path = getenv("KFAULT_LOG");
  if (!path) return;
  static ssize_t (*real_write)(int, const void *, size_t);
  if (!real_write) real_write = dlsym(RTLD_NEXT, "write");
  static int (*real_open)(const char *, int, ...);
  if (!real_open) real_open = dlsym(RTLD_NEXT, "open");
  int fd = real_open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char line[64];
  int len = snprintf(line, sizeof line, "%s %lld\n", what, n);
  real_write(fd, line, (size_t)len);
  close(fd);
}

/* Whether this tracked call of `kind` fails; sets errno when it does. */
static int should_fail(int kind) {
  long n = ++counts[kind];
  const char *call = getenv("KFAULT_CALL");
  if (!call || kind_of(call) != kind) return 0;
  long first = env_long("KFAULT_NTH", 1);
  if (n < first || n >= first + env_long("KFAULT_TIMES", 1)) return 0;
  errno = (int)env_long("KFAULT_ERRNO", EIO);
  return 1;
}

static int is_tmp_path(const char *path) {
  size_t len = strlen(path), suffix = strlen(".klvx.tmp");
  return len >= suffix && strcmp(path + len - suffix, ".klvx.tmp") == 0;
}

static int tracked_fd(int fd) { return fd >= 0 && fd < MAX_FDS && tracked[fd]; }

static int open_common(const char *sym, const char *path, int flags, mode_t mode) {
  int (*real)(const char *, int, ...) = dlsym(RTLD_NEXT, sym);
  const int track = is_tmp_path(path) || ((flags & O_TMPFILE) == O_TMPFILE && getenv("KFAULT_UNNAMED"));
  if (track) {
    log_call("open", 0);
    if (should_fail(0)) return -1;
  }
  int fd = real(path, flags, mode);
  if (fd >= 0 && fd < MAX_FDS) tracked[fd] = (char)track;
  return fd;
}

int open(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
  va_end(ap);
  return open_common("open", path, flags, mode);
}

int open64(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
  va_end(ap);
  return open_common("open64", path, flags, mode);
}

/* A tracked write of `n` bytes: failed, zero, capped or passed on. */
static ssize_t faulty_write(int fd, size_t n, ssize_t (*pass)(int, size_t, void *), void *ctx) {
  log_call("write", (long long)n);
  if (should_fail(1)) {
    if (errno == 0) return 0;
    return -1;
  }
  long cap = env_long("KFAULT_MAX", 0);
  if (cap > 0 && n > (size_t)cap) n = (size_t)cap;
  return pass(fd, n, ctx);
}

struct write_args { const void *buf; };
static ssize_t pass_write(int fd, size_t n, void *ctx) {
  static ssize_t (*real)(int, const void *, size_t);
  if (!real) real = dlsym(RTLD_NEXT, "write");
  return real(fd, ((struct write_args *)ctx)->buf, n);
}

ssize_t write(int fd, const void *buf, size_t n) {
  if (!tracked_fd(fd)) return pass_write(fd, n, &(struct write_args){buf});
  return faulty_write(fd, n, pass_write, &(struct write_args){buf});
}

struct writev_args { const struct iovec *iov; int count; };
static ssize_t pass_writev(int fd, size_t n, void *ctx) {
  static ssize_t (*real)(int, const struct iovec *, int);
  if (!real) real = dlsym(RTLD_NEXT, "writev");
  struct writev_args *a = ctx;
  /* A cap shortens the gather list to its first n bytes. */
  struct iovec local[1024];
  int used = 0;
  for (int i = 0; i < a->count && i < 1024 && n > 0; ++i) {
    local[used] = a->iov[i];
    if (local[used].iov_len > n) local[used].iov_len = n;
    n -= local[used].iov_len;
    ++used;
  }
  return real(fd, local, used);
}

ssize_t writev(int fd, const struct iovec *iov, int count) {
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += iov[i].iov_len;
  struct writev_args args = {iov, count};
  if (!tracked_fd(fd)) return pass_writev(fd, total, &args);
  return faulty_write(fd, total, pass_writev, &args);
}

int fsync(int fd) {
  static int (*real)(int);
  if (!real) real = dlsym(RTLD_NEXT, "fsync");
  if (tracked_fd(fd)) {
    log_call("fsync", 0);
    if (should_fail(2)) return -1;
  }
  return real(fd);
}

/* A writer reads back the values it spooled to its temporary file. */
ssize_t pread(int fd, void *buf, size_t n, off_t offset) {
  static ssize_t (*real)(int, void *, size_t, off_t);
  if (!real) real = dlsym(RTLD_NEXT, "pread");
  if (tracked_fd(fd)) {
    log_call("pread", (long long)n);
    if (should_fail(4)) return -1;
  }
  return real(fd, buf, n, offset);
}

ssize_t pread64(int fd, void *buf, size_t n, off_t offset) { return pread(fd, buf, n, offset); }

int close(int fd) {
  static int (*real)(int);
  if (!real) real = dlsym(RTLD_NEXT, "close");
  if (tracked_fd(fd)) {
    log_call("close", 0);
    tracked[fd] = 0;
  }
  return real(fd);
}

int rename(const char *from, const char *to) {
  static int (*real)(const char *, const char *);
  if (!real) real = dlsym(RTLD_NEXT, "rename");
  if (is_tmp_path(from)) {
    log_call("rename", 0);
    if (should_fail(3)) return -1;
  }
  return real(from, to);
}

/* A build renames onto an absent destination with renameat2(RENAME_NOREPLACE): one
 * rename to the tests, as above. */
int renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned int flags) {
  static int (*real)(int, const char *, int, const char *, unsigned int);
  if (!real) real = dlsym(RTLD_NEXT, "renameat2");
  if (is_tmp_path(from)) {
    log_call("rename", 0);
    if (should_fail(3)) return -1;
  }
  return real(from_dir, from, to_dir, to, flags);
}
