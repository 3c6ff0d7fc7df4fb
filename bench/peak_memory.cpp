// peak_memory PROGRAM [ARGUMENT...]: runs the program, found on PATH as a
// shell would, with its standard streams on /dev/null and prints its peak
// resident memory in KiB.
//
// A child's peak includes the memory of the process it was forked from, so
// the benchmark cannot measure its runs directly; this small process can.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char* argv[]) {
  if (argc < 2) {
    std::fputs("usage: peak_memory PROGRAM [ARGUMENT...]\n", stderr);
    return 2;
  }
  const pid_t child = fork();
  if (child == 0) {
    // Without /dev/null the child would run with whatever streams it had.
    const int null = open("/dev/null", O_RDWR);
    if (null < 0) _exit(126);
    for (int stream = 0; stream <= 2; ++stream) dup2(null, stream);
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  rusage usage = {};
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return 1;
  std::printf("%ld\n", usage.ru_maxrss);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
