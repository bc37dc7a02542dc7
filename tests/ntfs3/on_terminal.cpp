// Runs a program with its standard error on a terminal of its own and keeps
// what that terminal shows (the summary says which roots were read from the
// file table), for the ntfs3 suite (the VM has no `script`):
//   on_terminal SHOWN PROGRAM ARG...
// Standard output stays as it is. The exit code is the program's.
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: on_terminal SHOWN PROGRAM ARG...\n");
    return 2;
  }
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return 2;
  const pid_t child = fork();
  if (child == 0) {
    close(master);
    setsid();
    dup2(slave, 2);
    close(slave);
    setenv("TERM", "xterm", 1);
    execv(argv[2], argv + 2);
    _exit(127);
  }
  close(slave);
  const int shown = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(master, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // EIO once the program has gone
    if (write(shown, buffer, static_cast<size_t>(got)) != got) break;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
