// SPDX-License-Identifier: GPL-3.0-or-later
// PID 1 of the alsa-vm guest (see run-in-vm.sh). Built static and packed in a tiny initramfs
// together with the virtio, 9p and overlay modules.
//
// 1. Loads the modules in /modules/order (from the initramfs).
// 2. Mounts the host's root (9p tag "root", read-only) under a tmpfs overlay, so the guest can
//    write anywhere without touching the host; fresh /proc /sys /dev /dev/pts /dev/shm /run,
//    and /tmp unless ALSAVM_TMP=host; the run folder (9p tag "run", read-write) at the path
//    it has on the host (ALSAVM_RUN=... on the kernel command line), and the folders listed in
//    RUN/rw ("tag<TAB>path" a line) read-write at their paths; then enters that root.
// 3. Loads the modules listed in RUN/modules ("path<TAB>parameters" a line, paths in the root).
// 4. Runs the command: argv from RUN/argv and the environment from RUN/env (both NUL-separated),
//    in the directory named by RUN/cwd, stdin /dev/null, stdout RUN/stdout, stderr RUN/stderr.
//    Reaps every orphan meanwhile. Writes the exit status to RUN/status (128+N for signal N)
//    and creates RUN/mark.{init,cmd,end}, whose times the host's clock sets.
// 5. Ends the machine: a reboot, which qemu -no-reboot with reboot=t turns into its exit.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static const char *run;

static void say(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("vminit: ", stderr);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
  va_end(ap);
}

static void halt(void) {
  sync();
  reboot(RB_AUTOBOOT);
  for (;;) pause();
}

static void die(const char *what) {
  say("%s: %s", what, strerror(errno));
  halt();
}

static void mkdirs(const char *path) {
  char buf[4096];
  snprintf(buf, sizeof buf, "%s", path);
  for (char *p = buf + 1; *p; ++p) {
    if (*p == '/') {
      *p = 0;
      mkdir(buf, 0755);
      *p = '/';
    }
  }
  mkdir(buf, 0755);
}

static void mnt(const char *src, const char *dst, const char *type, unsigned long flags,
                const char *opts) {
  mkdirs(dst);
  if (mount(src, dst, type, flags, opts) != 0) {
    char what[4200];
    snprintf(what, sizeof what, "mount %s on %s (%s)", type, dst, opts ? opts : "");
    die(what);
  }
}

// Debian 13's modules are compressed (.ko.xz): the kernel unpacks them itself when told so.
#define MODULE_INIT_COMPRESSED_FILE 4

static void load(const char *path, const char *params) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) die(path);
  size_t len = strlen(path);
  int flags = len > 3 && strcmp(path + len - 3, ".ko") != 0 ? MODULE_INIT_COMPRESSED_FILE : 0;
  if (syscall(SYS_finit_module, fd, params, flags) != 0 && errno != EEXIST) die(path);
  close(fd);
}

// A whole file; NULL when it cannot be read. *size gets its length.
static char *slurp(const char *name, size_t *size) {
  char path[4200];
  snprintf(path, sizeof path, "%s/%s", run, name);
  FILE *f = fopen(path, "r");
  if (!f) return NULL;
  size_t cap = 4096, len = 0;
  char *buf = malloc(cap);
  size_t n;
  while ((n = fread(buf + len, 1, cap - len - 1, f)) > 0) {
    len += n;
    if (cap - len < 2) buf = realloc(buf, cap *= 2);
  }
  fclose(f);
  buf[len] = 0;
  if (size) *size = len;
  return buf;
}

// NUL-separated strings as a NULL-terminated vector.
static char **split0(char *buf, size_t len) {
  size_t count = 0;
  for (size_t i = 0; i < len; ++i) count += buf[i] == 0;
  char **v = calloc(count + 2, sizeof *v);
  size_t k = 0;
  for (size_t i = 0; i < len; i += strlen(buf + i) + 1) v[k++] = buf + i;
  v[k] = NULL;
  return v;
}

static void mark(const char *name) {
  char path[4200];
  snprintf(path, sizeof path, "%s/mark.%s", run, name);
  close(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}

static double uptime(void) {
  struct timespec ts;
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void loopback_up(void) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return;
  struct ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  strcpy(ifr.ifr_name, "lo");
  if (ioctl(s, SIOCGIFFLAGS, &ifr) == 0) {
    ifr.ifr_flags |= IFF_UP;
    ioctl(s, SIOCSIFFLAGS, &ifr);
  }
  close(s);
}

static void enter_root(void) {
  const char *rootopts = getenv("ALSAVM_ROOTOPTS");
  if (!rootopts) rootopts = "trans=virtio,version=9p2000.L,msize=512000,cache=loose";

  mnt("devtmpfs", "/dev", "devtmpfs", 0, NULL);
  FILE *f = fopen("/modules/order", "r");
  if (!f) die("/modules/order");
  char name[256];
  while (fgets(name, sizeof name, f)) {
    name[strcspn(name, "\n")] = 0;
    if (!*name) continue;
    char path[300];
    snprintf(path, sizeof path, "/modules/%s", name);
    load(path, "");
  }
  fclose(f);

  mkdirs("/lower");
  for (int i = 0;; ++i) {  // the 9p channel is there once virtio has probed; be patient anyway
    if (mount("root", "/lower", "9p", MS_RDONLY, rootopts) == 0) break;
    if (i == 200) die("mount 9p root");
    usleep(10000);
  }
  mnt("tmpfs", "/rw", "tmpfs", 0, "mode=0755");
  mkdirs("/rw/upper");
  mkdirs("/rw/work");
  mnt("overlay", "/newroot", "overlay", 0, "lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work");

  mnt("proc", "/newroot/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, NULL);
  mnt("sysfs", "/newroot/sys", "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, NULL);
  mnt("devtmpfs", "/newroot/dev", "devtmpfs", MS_NOSUID, NULL);
  mnt("devpts", "/newroot/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC, "gid=5,mode=620,ptmxmode=666");
  mnt("tmpfs", "/newroot/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
  const char *tmp = getenv("ALSAVM_TMP");
  if (!tmp || strcmp(tmp, "host") != 0)
    mnt("tmpfs", "/newroot/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
  mnt("tmpfs", "/newroot/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755");
  char dst[4200];
  snprintf(dst, sizeof dst, "/newroot%s", run);
  mnt("run", dst, "9p", 0, "trans=virtio,version=9p2000.L,msize=512000,cache=none");
  // Host folders shared read-write (ALSA_VM_RW): "tag<TAB>path" a line in RUN/rw.
  char rwlist[4200];
  snprintf(rwlist, sizeof rwlist, "%s/rw", dst);
  FILE *rw = fopen(rwlist, "r");
  char line[4200];
  while (rw && fgets(line, sizeof line, rw)) {
    line[strcspn(line, "\n")] = 0;
    char *tab = strchr(line, '\t');
    if (!tab) continue;
    *tab = 0;
    snprintf(dst, sizeof dst, "/newroot%s", tab + 1);
    mnt(line, dst, "9p", 0, "trans=virtio,version=9p2000.L,msize=512000,cache=none");
  }
  if (rw) fclose(rw);

  if (chdir("/newroot") != 0) die("chdir /newroot");
  if (mount(".", "/", NULL, MS_MOVE, NULL) != 0) die("move root");
  if (chroot(".") != 0) die("chroot");
  if (chdir("/") != 0) die("chdir /");

  symlink("/proc/self/fd", "/dev/fd");
  symlink("/proc/self/fd/0", "/dev/stdin");
  symlink("/proc/self/fd/1", "/dev/stdout");
  symlink("/proc/self/fd/2", "/dev/stderr");
  sethostname("alsavm", 6);
  loopback_up();
}

int main(void) {
  run = getenv("ALSAVM_RUN");
  if (!run || run[0] != '/') {
    say("no ALSAVM_RUN=/path on the kernel command line");
    halt();
  }
  enter_root();
  mark("init");
  double up_init = uptime();

  char *mods = slurp("modules", NULL);
  for (char *line = mods; line && *line;) {
    char *end = strchr(line, '\n');
    if (end) *end = 0;
    char *tab = strchr(line, '\t');
    if (tab) *tab = 0;
    if (*line) load(line, tab ? tab + 1 : "");
    line = end ? end + 1 : line + strlen(line);
  }

  size_t alen = 0, elen = 0;
  char *abuf = slurp("argv", &alen), *ebuf = slurp("env", &elen), *cwd = slurp("cwd", NULL);
  if (!abuf || !alen) die("argv");
  char **argv = split0(abuf, alen);
  char **envp = ebuf ? split0(ebuf, elen) : (char *[]){NULL};

  char out[4200], err[4200];
  snprintf(out, sizeof out, "%s/stdout", run);
  snprintf(err, sizeof err, "%s/stderr", run);
  double up_cmd = uptime();
  mark("cmd");
  pid_t child = fork();
  if (child < 0) die("fork");
  if (child == 0) {
    setsid();
    int in = open("/dev/null", O_RDONLY);
    int o = open(out, O_WRONLY | O_APPEND | O_CREAT, 0644);
    int e = open(err, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (in < 0 || o < 0 || e < 0) _exit(125);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    if (in > 2) close(in);
    if (o > 2) close(o);
    if (e > 2) close(e);
    if (!cwd || chdir(cwd) != 0) {
      fprintf(stderr, "run-in-vm: no %s in the guest; running in /\n", cwd ? cwd : "(cwd)");
      chdir("/");
    }
    signal(SIGPIPE, SIG_DFL);
    environ = envp;
    execvp(argv[0], argv);
    int code = errno == ENOENT ? 127 : 126;
    fprintf(stderr, "run-in-vm: %s: %s\n", argv[0], strerror(errno));
    _exit(code);
  }
  int status = 0;
  for (;;) {
    int st;
    pid_t pid = wait(&st);
    if (pid == child) {
      status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      break;
    }
    if (pid < 0 && errno == ECHILD) break;
  }
  double up_end = uptime();
  mark("end");
  char path[4200];
  snprintf(path, sizeof path, "%s/times", run);
  FILE *t = fopen(path, "w");
  if (t) {
    fprintf(t, "guest_uptime_init=%.3f\nguest_uptime_cmd=%.3f\nguest_uptime_end=%.3f\n", up_init,
            up_cmd, up_end);
    fclose(t);
  }
  snprintf(path, sizeof path, "%s/status", run);
  t = fopen(path, "w");
  if (t) {
    fprintf(t, "%d\n", status);
    fclose(t);
  }
  kill(-1, SIGKILL);
  halt();
}
