/* Scan engine over a running clamd: every scan opens one connection and streams
 * the bytes with the zINSTREAM command.
 *
 * Configuration (TAV_Init2): "OPTIONS\tSERVER" or "SERVER".
 *   SERVER   unix:PATH, /PATH (a unix socket), HOST:PORT or [IPV6]:PORT; HOST is a
 *            numeric address or a name (resolved once, at init).
 *   OPTIONS  words "key=value" separated by spaces or commas:
 *            timeout=SECONDS  longest wait for the daemon to accept, take or
 *                             answer anything (default 60, 1 to 3600).
 *
 * Connecting: a daemon whose listen backlog is full is waited for, up to the
 * timeout (a busy clamd accepts late, it does not refuse). A daemon that is
 * not listening (ECONNREFUSED; for a unix socket also ENOENT, the socket file
 * missing while clamd restarts) is tried again a few times over about a
 * second, within the timeout; longer would hold every upload while the
 * daemon is simply down.
 *
 * Scan answers: 1 infected (report "NAME\tVIRUS\t1\n"), 0 clean, -1 with errno
 * set when the input was not scanned: EFBIG when it is larger than the
 * daemon's StreamMaxLength, EIO for any other ERROR or unexpected answer, the
 * connect errno when the daemon is unreachable, ETIMEDOUT when it did not
 * accept, take or answer in time, the open/read errno of a named file. The
 * engine never answers -2: no other way of calling it scans an input that a
 * whole-stream scan could not (parts of a message would leave its other bytes
 * unscanned).
 *
 * Only libc is used. The library keeps one configuration per process; the
 * entry points are not meant to be called from several threads at once. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#define TAV_EXPORT __attribute__((visibility("default")))

enum {
  kChunk = 256 * 1024, /* bytes per INSTREAM chunk */
  kMaxAnswer = 1024,   /* an answer is one short line */
  kDefaultTimeoutSec = 60,
  kConnectRetries = 3,        /* further tries of a daemon that is not listening */
  kConnectFirstPauseMs = 150, /* before the first of them; doubled for each next */
};

static struct {
  int ready;
  int timeout_ms;
  struct sockaddr_un unix_addr; /* used when unix_addr.sun_family is AF_UNIX */
  struct addrinfo* inet_addrs;  /* otherwise: the resolved HOST:PORT */
} g;

/* ---- configuration ------------------------------------------------------ */

static int parse_options(const char* text, size_t length) {
  char buf[256];
  if (length >= sizeof buf) return 0;
  memcpy(buf, text, length);
  buf[length] = '\0';
  char* save = NULL;
  for (char* word = strtok_r(buf, " ,", &save); word; word = strtok_r(NULL, " ,", &save)) {
    if (strncmp(word, "timeout=", 8) == 0) {
      char* end = NULL;
      errno = 0;
      long seconds = strtol(word + 8, &end, 10);
      if (errno || end == word + 8 || *end || seconds < 1 || seconds > 3600) {
        fprintf(stderr, "tav_clamd: bad timeout \"%s\" (1 to 3600 seconds)\n", word + 8);
        return 0;
      }
      g.timeout_ms = (int)seconds * 1000;
    } else {
      fprintf(stderr, "tav_clamd: unknown option \"%s\"\n", word);
      return 0;
    }
  }
  return 1;
}

static int parse_server(const char* server) {
  const char* path = NULL;
  if (strncmp(server, "unix:", 5) == 0)
    path = server + 5;
  else if (server[0] == '/')
    path = server;
  if (path) {
    if (!*path || strlen(path) >= sizeof g.unix_addr.sun_path) {
      fprintf(stderr, "tav_clamd: bad socket path \"%s\"\n", path);
      return 0;
    }
    g.unix_addr.sun_family = AF_UNIX;
    strcpy(g.unix_addr.sun_path, path);
    return 1;
  }

  /* HOST:PORT, the port after the last colon; [V6]:PORT drops the brackets. */
  char host[256];
  const char* colon = strrchr(server, ':');
  size_t host_length = colon ? (size_t)(colon - server) : 0;
  if (!colon || host_length == 0 || host_length >= sizeof host || !colon[1]) {
    fprintf(stderr, "tav_clamd: server \"%s\" is neither unix:PATH nor HOST:PORT\n", server);
    return 0;
  }
  memcpy(host, server, host_length);
  host[host_length] = '\0';
  if (host[0] == '[' && host[host_length - 1] == ']') {
    memmove(host, host + 1, host_length - 2);
    host[host_length - 2] = '\0';
  }
  struct addrinfo hints = {.ai_socktype = SOCK_STREAM, .ai_flags = AI_NUMERICSERV};
  int rc = getaddrinfo(host, colon + 1, &hints, &g.inet_addrs);
  if (rc != 0) {
    fprintf(stderr, "tav_clamd: %s: %s\n", server, gai_strerror(rc));
    g.inet_addrs = NULL;
    return 0;
  }
  return 1;
}

TAV_EXPORT void TAV_Close(void) {
  if (g.inet_addrs) freeaddrinfo(g.inet_addrs);
  memset(&g, 0, sizeof g);
}

TAV_EXPORT int TAV_Init2(const char* config) {
  TAV_Close();
  if (!config) return 0;
  g.timeout_ms = kDefaultTimeoutSec * 1000;
  const char* tab = strrchr(config, '\t');
  const char* server = tab ? tab + 1 : config;
  if ((tab && !parse_options(config, (size_t)(tab - config))) || !parse_server(server)) {
    TAV_Close();
    return 0;
  }
  g.ready = 1;
  return 1;
}

/* ---- one connection ----------------------------------------------------- */

static long long now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Waits until `deadline` (now_ms) for `events` on fd; answers the revents,
 * or 0 with errno ETIMEDOUT, or -1 with errno from poll. */
static int wait_until(int fd, short events, long long deadline) {
  struct pollfd p = {.fd = fd, .events = events};
  for (;;) {
    long long left = deadline - now_ms();
    if (left < 0) left = 0;
    int n = poll(&p, 1, (int)left);
    if (n > 0) return p.revents;
    if (n == 0) {
      errno = ETIMEDOUT;
      return 0;
    }
    if (errno != EINTR) return -1;
  }
}

/* The same, up to the timeout from now. */
static int wait_for(int fd, short events) {
  return wait_until(fd, events, now_ms() + g.timeout_ms);
}

/* One connection to the unix socket, waiting until `deadline` while the
 * daemon's backlog is full. A non-blocking connect would fail at once with
 * EAGAIN and leave nothing pending to poll, so the socket connects blocking
 * with a send timeout, which bounds the kernel's own wait for room in the
 * backlog (woken when the daemon accepts), and becomes non-blocking after.
 * Answers the socket, or -1 with errno (ETIMEDOUT when the daemon did not
 * accept in time). */
static int connect_unix(long long deadline) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int err;
  for (;;) {
    long long left = deadline - now_ms();
    if (left <= 0) { /* a send timeout of 0 would wait for ever */
      err = ETIMEDOUT;
      break;
    }
    struct timeval tv = {.tv_sec = (time_t)(left / 1000),
                         .tv_usec = (suseconds_t)(left % 1000) * 1000};
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
      err = errno;
      break;
    }
    if (connect(fd, (const struct sockaddr*)&g.unix_addr, sizeof g.unix_addr) == 0) {
      static const struct timeval kNone = {0, 0};
      int flags = fcntl(fd, F_GETFL);
      if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
          setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kNone, sizeof kNone) != 0) {
        err = errno;
        break;
      }
      return fd;
    }
    err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN) err = ETIMEDOUT; /* the backlog stayed full */
    break;
  }
  close(fd);
  errno = err;
  return -1;
}

/* One connection to the first HOST:PORT address that takes it, each
 * connect polled until `deadline`. Answers the non-blocking socket, or -1
 * with errno from the last address tried. */
static int connect_inet(long long deadline) {
  int err = ECONNREFUSED;
  for (const struct addrinfo* a = g.inet_addrs; a; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) {
      err = errno;
      continue;
    }
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) return fd;
    err = errno;
    if (err == EINPROGRESS) {
      socklen_t len = sizeof err;
      if (wait_until(fd, POLLOUT, deadline) > 0) {
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err == 0) return fd;
      } else {
        err = errno;
      }
    }
    close(fd);
  }
  errno = err;
  return -1;
}

/* A non-blocking connected socket, or -1 with errno. The whole connect,
 * retries included, takes at most the timeout. */
static int connect_daemon(void) {
  long long deadline = now_ms() + g.timeout_ms;
  int pause_ms = kConnectFirstPauseMs;
  int unix_socket = g.unix_addr.sun_family == AF_UNIX;
  for (int attempt = 0;; ++attempt) {
    int fd = unix_socket ? connect_unix(deadline) : connect_inet(deadline);
    if (fd >= 0) return fd;
    int err = errno;
    int not_listening = err == ECONNREFUSED || (unix_socket && err == ENOENT);
    long long left = deadline - now_ms();
    if (!not_listening || attempt == kConnectRetries || left <= pause_ms) {
      errno = err;
      return -1;
    }
    poll(NULL, 0, pause_ms); /* an interrupted pause only shortens it */
    pause_ms *= 2;
  }
}

/* Where the bytes come from: a buffer, or a file read piece by piece. */
struct source {
  const char* data;
  size_t left; /* buffer bytes not yet sent */
  int fd;      /* >= 0: read from this file */
  char* buf;
};

/* Points *piece at the next chunk and sets *last when nothing follows it;
 * answers its length, or -1 with errno. */
static ssize_t next_chunk(struct source* s, const char** piece, int* last) {
  if (s->fd < 0) {
    size_t n = s->left < kChunk ? s->left : kChunk;
    *piece = s->data;
    s->data += n;
    s->left -= n;
    *last = s->left == 0;
    return (ssize_t)n;
  }
  size_t have = 0;
  while (have < kChunk) {
    ssize_t n = read(s->fd, s->buf + have, kChunk - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    have += (size_t)n;
  }
  *piece = s->buf;
  *last = have < kChunk; /* a regular file reads short only at its end */
  return (ssize_t)have;
}

/* The bytes still to be sent: at most the command, a chunk's length and data,
 * and the zero length that ends the stream. */
struct outbox {
  struct iovec iov[4];
  size_t first, count; /* iov[first..count) is unsent */
  uint32_t header;
};

static void put(struct outbox* o, const void* bytes, size_t length) {
  if (length) o->iov[o->count++] = (struct iovec){(void*)bytes, length};
}

/* Queues the next chunk behind what is queued; answers 0, or -1 with errno. */
static int queue_chunk(struct outbox* o, struct source* src, int* last) {
  static const uint32_t kEnd = 0;
  const char* piece = NULL;
  ssize_t n = next_chunk(src, &piece, last);
  if (n < 0) return -1;
  o->header = htonl((uint32_t)n);
  put(o, &o->header, sizeof o->header); /* a length of 0 is itself the end */
  put(o, piece, (size_t)n);
  if (*last && n > 0) put(o, &kEnd, sizeof kEnd);
  return 0;
}

/* Sends the command and the stream, one sendmsg per chunk (a small input goes
 * in a single send), and reads the daemon's NUL-terminated answer into
 * `answer`. The daemon may answer before the stream ends (size limit exceeded)
 * and close: the answer is read whatever became of the sending.
 * Answers 0, or -1 with errno. */
static int exchange(int fd, struct source* src, char* answer) {
  static const char kCommand[] = "zINSTREAM"; /* sent with its NUL */
  struct outbox o = {.first = 0, .count = 0};
  int sending = 1, last = 0, send_errno = 0;
  size_t got = 0;

  put(&o, kCommand, sizeof kCommand);
  if (queue_chunk(&o, src, &last) != 0) return -1;
  for (;;) {
    if (sending && o.first == o.count) {
      if (last) {
        sending = 0;
      } else {
        o.first = o.count = 0;
        if (queue_chunk(&o, src, &last) != 0) return -1;
      }
    }
    if (sending) {
      struct msghdr msg = {.msg_iov = o.iov + o.first, .msg_iovlen = o.count - o.first};
      ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
      if (n >= 0) {
        for (; o.first < o.count && (size_t)n >= o.iov[o.first].iov_len; ++o.first)
          n -= (ssize_t)o.iov[o.first].iov_len;
        if (n > 0) {
          o.iov[o.first].iov_base = (char*)o.iov[o.first].iov_base + n;
          o.iov[o.first].iov_len -= (size_t)n;
        }
        continue;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN) {
        /* Broken off: the daemon's reason, if any, is still to be read. */
        send_errno = errno;
        sending = 0;
      }
    }
    /* The socket is full, or everything is sent: wait for room or an answer. */
    int ready = wait_for(fd, (short)(POLLIN | (sending ? POLLOUT : 0)));
    if (ready <= 0) return -1;
    if (!(ready & (POLLIN | POLLHUP | POLLERR))) continue;
    ssize_t n = recv(fd, answer + got, kMaxAnswer - 1 - got, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0 && got == 0) return -1;
    if (n <= 0) break; /* closed: what came is the answer */
    got += (size_t)n;
    answer[got] = '\0';
    if (memchr(answer + got - n, '\0', (size_t)n) || got == kMaxAnswer - 1) break;
    sending = 0; /* an answer before the end: the daemon takes nothing more */
  }
  answer[got] = '\0';
  if (got == 0) {
    errno = send_errno ? send_errno : EIO;
    return -1;
  }
  return 0;
}

/* ---- scanning ------------------------------------------------------------ */

static void write_report(char* report, int report_size, const char* name, const char* virus) {
  if (!report || report_size <= 0) return;
  snprintf(report, (size_t)report_size, "%s\t%s\t1\n", name, virus);
}

/* Reads "stream: VIRUS FOUND" into the bare virus name: without a detail in
 * parentheses (ExtendedDetectionInfo) and without the ".UNOFFICIAL" that clamd
 * appends to signatures of unsigned databases. Answers 1 when it was such an
 * answer. */
static int found_name(char* answer) {
  static const char kPrefix[] = "stream: ", kFound[] = " FOUND";
  size_t length = strlen(answer);
  if (length && answer[length - 1] == '\n') answer[--length] = '\0';
  if (strncmp(answer, kPrefix, sizeof kPrefix - 1) != 0 ||
      length < sizeof kPrefix + sizeof kFound - 1 ||
      strcmp(answer + length - (sizeof kFound - 1), kFound) != 0)
    return 0;
  char* virus = answer + sizeof kPrefix - 1;
  size_t n = length - (sizeof kPrefix - 1) - (sizeof kFound - 1);
  if (n && virus[n - 1] == ')') {
    char* paren = memrchr(virus, '(', n);
    if (paren && paren > virus) n = (size_t)(paren - virus);
  }
  static const char kUnofficial[] = ".UNOFFICIAL";
  if (n > sizeof kUnofficial - 1 &&
      memcmp(virus + n - (sizeof kUnofficial - 1), kUnofficial, sizeof kUnofficial - 1) == 0)
    n -= sizeof kUnofficial - 1;
  memmove(answer, virus, n);
  answer[n] = '\0';
  return 1;
}

TAV_EXPORT int TAV_Scan(const char* data, int length, const char* name, const char* pattern,
                        int pattern_length, char* report, int report_size, int action, char** out,
                        int* out_length) {
  /* This engine never rewrites the input. */
  if (out) *out = NULL;
  if (out_length) *out_length = 0;
  if (report && report_size > 0) report[0] = '\0';
  if (!g.ready || (data && length < 0) || (!data && !name)) {
    errno = EINVAL;
    return -1;
  }

  struct source src = {.data = data, .left = data ? (size_t)length : 0, .fd = -1};
  if (!data) {
    src.fd = open(name, O_RDONLY | O_CLOEXEC);
    if (src.fd < 0) return -1;
    src.buf = malloc(kChunk);
    if (!src.buf) {
      close(src.fd);
      errno = ENOMEM;
      return -1;
    }
  }

  char answer[kMaxAnswer];
  int result = -1, err = 0;
  int fd = connect_daemon();
  if (fd < 0) {
    err = errno;
  } else {
    if (exchange(fd, &src, answer) != 0) {
      err = errno;
    } else if (strcmp(answer, "stream: OK") == 0) {
      result = 0;
    } else if (found_name(answer)) {
      write_report(report, report_size, name ? name : "stream", answer);
      result = 1;
    } else if (strstr(answer, "size limit exceeded")) {
      err = EFBIG; /* "INSTREAM size limit exceeded. ERROR" */
    } else {
      err = EIO;
    }
    close(fd);
  }
  if (src.fd >= 0) close(src.fd);
  free(src.buf);
  if (result < 0) errno = err;
  return result;
}
