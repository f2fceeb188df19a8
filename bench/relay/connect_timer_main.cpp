/* How long a relay takes from its start to its first MQTT CONNECT: listens on the cloud's
 * address, starts the program (its output to /dev/null), and times from just before the
 * start to the connection being accepted and to the first byte of a CONNECT packet. Then
 * stops the program with SIGTERM (SIGKILL after 20 s) and times that too. It never answers
 * the CONNECT, so the relay gets no further than the cloud's connect.
 *   nimba_connect_timer [--drop-cache FOLDER] ADDRESS PORT TIMEOUT_S PROGRAM [ARGUMENT...]
 * --drop-cache first drops the folder's files from the page cache (a start after a power
 * cycle reads them from the disk). Prints one line of key=value figures in ms (-1: did not
 * happen); exits 0 when a CONNECT came. */
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr long STOP_TIMEOUT_MS = 20000;
constexpr unsigned char MQTT_CONNECT = 0x10;

double monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

/* Drops the regular files directly in folder from the page cache; the count of files. */
int drop_cache(const char *folder) {
  DIR *dir = opendir(folder);
  if (dir == nullptr) return 0;
  int files = 0;
  while (dirent *e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    char path[4096];
    const int n = std::snprintf(path, sizeof path, "%s/%s", folder, e->d_name);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof path) continue;
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
    files++;
  }
  closedir(dir);
  return files;
}

int listen_on(const char *address, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address, &a.sin_addr) != 1) return -1;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (fd < 0) return -1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

/* Waits until fd is readable or until the monotonic time due (ms); 1 when readable. */
int wait_readable(int fd, double due) {
  for (;;) {
    const double left = due - monotonic_ms();
    if (left <= 0) return 0;
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(left) + 1);
    if (r > 0) return 1;
    if (r == 0) return 0;
  }
}

/* Stops the child: SIGTERM, SIGKILL after STOP_TIMEOUT_MS. The time it took in ms. */
double stop_child(pid_t child) {
  const double start = monotonic_ms();
  kill(child, SIGTERM);
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (monotonic_ms() - start > STOP_TIMEOUT_MS) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    usleep(1000);
  }
  return monotonic_ms() - start;
}

} // namespace

int main(int argc, char **argv) {
  int first = 1;
  const char *cache_folder = nullptr;
  if (argc > 2 && std::strcmp(argv[1], "--drop-cache") == 0) {
    cache_folder = argv[2];
    first = 3;
  }
  const long port = argc > first + 1 ? std::strtol(argv[first + 1], nullptr, 10) : 0;
  const long timeout_s = argc > first + 2 ? std::strtol(argv[first + 2], nullptr, 10) : 0;
  if (argc < first + 4 || port < 1 || port > 65535 || timeout_s < 1 || timeout_s > 600) {
    std::fprintf(
        stderr,
        "usage: nimba_connect_timer [--drop-cache FOLDER] ADDRESS PORT TIMEOUT_S PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  const int dropped = cache_folder != nullptr ? drop_cache(cache_folder) : 0;
  const int listener = listen_on(argv[first], static_cast<int>(port));
  if (listener < 0) {
    std::perror("listen");
    return 1;
  }
  const double start = monotonic_ms();
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    execv(argv[first + 3], argv + first + 3);
    _exit(127);
  }
  const double due = start + static_cast<double>(timeout_s) * 1e3;
  double accepted_ms = -1, connect_ms = -1;
  int connection = -1;
  if (wait_readable(listener, due)) {
    connection = accept(listener, nullptr, nullptr);
    if (connection >= 0) accepted_ms = monotonic_ms() - start;
  }
  if (connection >= 0 && wait_readable(connection, due)) {
    unsigned char head = 0;
    const double at = monotonic_ms() - start;
    if (read(connection, &head, 1) == 1 && head == MQTT_CONNECT) connect_ms = at;
  }
  const double stop_ms = stop_child(child);
  if (connection >= 0) close(connection);
  close(listener);
  std::printf("accept_ms=%.2f connect_ms=%.2f stop_ms=%.2f cache_dropped_files=%d\n",
              accepted_ms,
              connect_ms,
              stop_ms,
              dropped);
  return connect_ms >= 0 ? 0 : 1;
}
