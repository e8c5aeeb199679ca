#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace kova {

// The user and group nobody: no process of root's may be signalled or joined by it.
inline constexpr uid_t AnotherUser = 65534;

// Runs body in a child process that is not root and returns body's result (0 to 125); -1 when
// the child could not drop to AnotherUser or did not end by itself. The tests run as root, who
// passes an exclusive tty and may signal any process, so what holds only for other users shows
// only from such a child.
inline int AsAnotherUser(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setresgid(AnotherUser, AnotherUser, AnotherUser) != 0 ||
         setresuid(AnotherUser, AnotherUser, AnotherUser) != 0))
      _exit(126);
    _exit(body());
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) > 125)
    return -1;
  return WEXITSTATUS(status);
}

}  // namespace kova
