/*
 * A write-fault library for the crash-consistency sweeps, loaded into a
 * program with LD_PRELOAD. It counts the writes (write, pwrite, writev,
 * fwrite, fputs, fputc) whose file's path contains KV_FAULT_MATCH and, at
 * the KV_FAULT_AT-th one, either kills the process with SIGKILL
 * (KV_FAULT_ACTION=kill, the default) or fails that write and every later
 * matching one with ENOSPC (KV_FAULT_ACTION=enospc), as a full disk would.
 * KV_FAULT_AT=0 only counts; when KV_FAULT_REPORT names a file, the count
 * is written there at exit (and before a kill). Copies made with sendfile
 * or copy_file_range count as writes to their output file.
 *
 * KV_FAULT_RENAME_AT=n kills the process instead of making the n-th rename
 * (rename, renameat, renameat2) whose source or target contains
 * KV_FAULT_MATCH; KV_FAULT_RENAME_REPORT receives the rename count.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>
#include <fcntl.h>

static const char* match_text;
static long fault_at;
static int fail_with_enospc;
static const char* report_path;
static atomic_long matched;
static long rename_at;
static const char* rename_report_path;
static atomic_long renames;

typedef ssize_t (*write_fn)(int, const void*, size_t);
typedef ssize_t (*pwrite_fn)(int, const void*, size_t, off_t);
typedef ssize_t (*writev_fn)(int, const struct iovec*, int);
typedef size_t (*fwrite_fn)(const void*, size_t, size_t, FILE*);
typedef int (*fputs_fn)(const char*, FILE*);
typedef int (*fputc_fn)(int, FILE*);
typedef ssize_t (*sendfile_fn)(int, int, off_t*, size_t);
typedef ssize_t (*copy_range_fn)(int, off_t*, int, off_t*, size_t, unsigned);
typedef int (*rename_fn)(const char*, const char*);
typedef int (*renameat_fn)(int, const char*, int, const char*);
typedef int (*renameat2_fn)(int, const char*, int, const char*, unsigned);

static write_fn real_write;
static pwrite_fn real_pwrite;
static writev_fn real_writev;
static fwrite_fn real_fwrite;
static fputs_fn real_fputs;
static fputc_fn real_fputc;
static sendfile_fn real_sendfile;
static copy_range_fn real_copy_file_range;
static rename_fn real_rename;
static renameat_fn real_renameat;
static renameat2_fn real_renameat2;

static void write_number(const char* path, long value) {
  if (path == NULL || real_write == NULL) return;
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char text[32];
  int length = snprintf(text, sizeof text, "%ld\n", value);
  if (length > 0) (void)real_write(fd, text, (size_t)length);
  close(fd);
}

static void report_count(void) {
  write_number(report_path, atomic_load(&matched));
  write_number(rename_report_path, atomic_load(&renames));
}

__attribute__((constructor)) static void shim_start(void) {
  real_write = (write_fn)dlsym(RTLD_NEXT, "write");
  real_pwrite = (pwrite_fn)dlsym(RTLD_NEXT, "pwrite");
  real_writev = (writev_fn)dlsym(RTLD_NEXT, "writev");
  real_fwrite = (fwrite_fn)dlsym(RTLD_NEXT, "fwrite");
  real_fputs = (fputs_fn)dlsym(RTLD_NEXT, "fputs");
  real_fputc = (fputc_fn)dlsym(RTLD_NEXT, "fputc");
  real_sendfile = (sendfile_fn)dlsym(RTLD_NEXT, "sendfile");
  real_copy_file_range = (copy_range_fn)dlsym(RTLD_NEXT, "copy_file_range");
  real_rename = (rename_fn)dlsym(RTLD_NEXT, "rename");
  real_renameat = (renameat_fn)dlsym(RTLD_NEXT, "renameat");
  real_renameat2 = (renameat2_fn)dlsym(RTLD_NEXT, "renameat2");
  match_text = getenv("KV_FAULT_MATCH");
  const char* at = getenv("KV_FAULT_AT");
  fault_at = at != NULL ? strtol(at, NULL, 10) : 0;
  const char* action = getenv("KV_FAULT_ACTION");
  fail_with_enospc = action != NULL && strcmp(action, "enospc") == 0;
  report_path = getenv("KV_FAULT_REPORT");
  const char* rename_text = getenv("KV_FAULT_RENAME_AT");
  rename_at = rename_text != NULL ? strtol(rename_text, NULL, 10) : 0;
  rename_report_path = getenv("KV_FAULT_RENAME_REPORT");
  if (report_path != NULL || rename_report_path != NULL) atexit(report_count);
}

/* Whether a write to fd is one the sweep counts. */
static int matches(int fd) {
  if (match_text == NULL || *match_text == '\0' || fd < 0) return 0;
  char link[64];
  char target[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t length = readlink(link, target, sizeof target - 1);
  if (length <= 0) return 0;
  target[length] = '\0';
  return strstr(target, match_text) != NULL;
}

/* Counts a matching write; answers 1 when it must fail with ENOSPC. */
static int fault(int fd) {
  if (!matches(fd)) return 0;
  long n = atomic_fetch_add(&matched, 1) + 1;
  if (fault_at <= 0 || n < fault_at) return 0;
  if (!fail_with_enospc) {
    report_count();
    raise(SIGKILL);
  }
  errno = ENOSPC;
  return 1;
}

ssize_t write(int fd, const void* data, size_t size) {
  if (fault(fd)) return -1;
  return real_write(fd, data, size);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  if (fault(fd)) return -1;
  return real_pwrite(fd, data, size, offset);
}

ssize_t writev(int fd, const struct iovec* parts, int count) {
  if (fault(fd)) return -1;
  return real_writev(fd, parts, count);
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
  if (fault(fileno(stream))) {
    return 0;
  }
  return real_fwrite(data, size, count, stream);
}

int fputs(const char* text, FILE* stream) {
  if (fault(fileno(stream))) return EOF;
  return real_fputs(text, stream);
}

int fputc(int c, FILE* stream) {
  if (fault(fileno(stream))) return EOF;
  return real_fputc(c, stream);
}

ssize_t sendfile(int out, int in, off_t* offset, size_t count) {
  if (fault(out)) return -1;
  return real_sendfile(out, in, offset, count);
}

ssize_t copy_file_range(int in, off_t* in_offset, int out, off_t* out_offset, size_t count, unsigned flags) {
  if (fault(out)) return -1;
  return real_copy_file_range(in, in_offset, out, out_offset, count, flags);
}

/* Whether path, taken relative to the folder dir (or the working folder),
   names a place that contains the match text. */
static int path_matches(int dir, const char* path) {
  if (path == NULL) return 0;
  if (strstr(path, match_text) != NULL) return 1;
  if (path[0] == '/') return 0;
  char base[PATH_MAX];
  if (dir == AT_FDCWD) {
    if (getcwd(base, sizeof base) == NULL) return 0;
  } else {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dir);
    ssize_t length = readlink(link, base, sizeof base - 1);
    if (length <= 0) return 0;
    base[length] = '\0';
  }
  char full[2 * PATH_MAX + 2];
  snprintf(full, sizeof full, "%s/%s", base, path);
  return strstr(full, match_text) != NULL;
}

/* Counts a rename that touches a matching path; kills at the chosen one. */
static void rename_fault(int from_dir, const char* from, int to_dir, const char* to) {
  if (match_text == NULL || *match_text == '\0') return;
  if (!path_matches(from_dir, from) && !path_matches(to_dir, to)) return;
  long n = atomic_fetch_add(&renames, 1) + 1;
  if (rename_at > 0 && n == rename_at) {
    report_count();
    raise(SIGKILL);
  }
}

int rename(const char* from, const char* to) {
  rename_fault(AT_FDCWD, from, AT_FDCWD, to);
  return real_rename(from, to);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  rename_fault(from_dir, from, to_dir, to);
  return real_renameat(from_dir, from, to_dir, to);
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
  rename_fault(from_dir, from, to_dir, to);
  return real_renameat2(from_dir, from, to_dir, to, flags);
}
