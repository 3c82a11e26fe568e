/* repeat N COMMAND [ARGS...]: runs COMMAND N times, one after another, so that
   one timed sample holds many millisecond runs. Fails if any run fails. */
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

extern char **environ;

int main(int argc, char **argv) {
  if (argc < 3)
    return 2;
  for (int run = atoi(argv[1]); run > 0; --run) {
    pid_t child;
    int status;
    if (posix_spawnp(&child, argv[2], NULL, NULL, argv + 2, environ) != 0 ||
        waitpid(child, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
      return 1;
  }
  return 0;
}
