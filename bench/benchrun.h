// Runs another program for a benchmark, the way a user would, with its output thrown away.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <vector>

extern char **environ;

namespace benchrun {

// Starts argv (looked up in PATH) with its output in `outFile` and `errFile` (made mode 0600
// when missing); its pid, or -1 when it could not start.
inline pid_t start(const std::vector<std::string> &args, const std::string &outFile = "/dev/null",
                   const std::string &errFile = "/dev/null") {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

// Runs argv (looked up in PATH); the exit status, or -1 when it could not run or was killed.
inline int run(const std::vector<std::string> &args) {
  const pid_t pid = start(args);
  if (pid < 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace benchrun
