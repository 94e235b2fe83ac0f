#include "support/as_user.hpp"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/io.hpp"

namespace bramvelt::testing {
namespace {

int wait_child(pid_t pid) {
    int status = 0;
    if (platform::retry_on_eintr([&] { return ::waitpid(pid, &status, 0); }) < 0) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

int run_in_child(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int code = 125;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    return wait_child(pid);
}

int run_in_child_as(uid_t uid, gid_t gid, const std::function<int()>& body) {
    return run_in_child([&] {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
            ::setresuid(uid, uid, uid) != 0) {
            return 126;
        }
        return body();
    });
}

}  // namespace bramvelt::testing
